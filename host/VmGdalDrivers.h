// The GDAL drivers the host decodes and writes images with, registered once
// per process. Not part of the installed interface.
#pragma once

namespace VMK {

// Registers the file drivers of the image formats the host reads and writes
// (PNG, JPEG, GIF, BMP, GeoTIFF, ASCII grid) and the in-memory one, and sets
// GDAL's options for downloaded files. Nothing else: the host never lets GDAL
// guess a format among all it knows, and registering every driver costs
// start-up time in each process.
void EnsureGdalDrivers();

} // namespace VMK
