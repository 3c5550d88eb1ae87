// The GDAL drivers the host decodes and writes images with, registered once
// per process, and the memory datasets it hands pixels to GDAL in. Not part
// of the installed interface.
#pragma once

#include <gdal.h>

namespace VMK {

// Registers the file drivers of the image formats the host reads and writes
// (PNG, JPEG, GIF, BMP, GeoTIFF, ASCII grid) and the in-memory one, and sets
// GDAL's options for downloaded files. Nothing else: the host never lets GDAL
// guess a format among all it knows, and registering every driver costs
// start-up time in each process.
void EnsureGdalDrivers();

// A memory dataset over bytes that stay the caller's: band b's first value
// at data + b * bandSpacing, the rest `pixel` and `line` bytes apart. Null
// when GDAL refuses the layout.
GDALDatasetH MemoryOver(unsigned char* data, int width, int height, int bands, GDALDataType type, GSpacing pixel,
                        GSpacing line, GSpacing bandSpacing);

} // namespace VMK
