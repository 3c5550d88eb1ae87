// Small images made in the test process, as a map server would send them.
#pragma once

#include <string>

namespace ogctest {

// The bytes of a `width` x `height` image in a GDAL file format ("PNG",
// "JPEG", "GIF", "BMP", "GTiff"): band 1 rises from left to right, further
// bands hold constant values, so that pixels can be checked after an import.
std::string MakeImage(const char* driver, int width, int height, int bands = 3);

} // namespace ogctest
