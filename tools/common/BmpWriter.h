#ifndef TOOLS_COMMON_BMPWRITER_H
#define TOOLS_COMMON_BMPWRITER_H

#include <cstdint>
#include <string>

// Writes a converter raster as an 8-bit grayscale BMP file. The raster already
// is a bottom-up DIB with rows padded to 4 bytes: the file adds only the two
// headers and a 256-entry gray palette. Returns 1, or 0 when the file could
// not be written completely; what became of path is then the caller's to
// settle (see OutputFile).
int writeGrayscaleBmp(const std::string& path, const uint8_t* raster, uint32_t rows, uint32_t columns);

#endif
