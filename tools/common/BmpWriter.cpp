#include "BmpWriter.h"

#include <cstdio>
#include <vector>

namespace {

void putU16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t value) {
    putU16(out, value & 0xFFFF);
    putU16(out, value >> 16);
}

}  // namespace

int writeGrayscaleBmp(const std::string& path, const uint8_t* raster, uint32_t rows, uint32_t columns) {
    const uint32_t stride = (columns + 3) / 4 * 4;
    const uint64_t imageSize = static_cast<uint64_t>(stride) * rows;
    const uint32_t headerSize = 14 + 40 + 256 * 4;
    if (imageSize + headerSize > 0x7FFFFFFF) return 0;

    std::vector<uint8_t> header;
    header.reserve(headerSize);
    header.push_back('B');
    header.push_back('M');
    putU32(header, static_cast<uint32_t>(headerSize + imageSize));  // file size
    putU32(header, 0);                                              // reserved
    putU32(header, headerSize);                                     // offset of the pixels
    putU32(header, 40);                                             // BITMAPINFOHEADER size
    putU32(header, columns);                                        // width
    putU32(header, rows);                                           // height, positive: bottom-up
    putU16(header, 1);                                              // planes
    putU16(header, 8);                                              // bits per pixel
    putU32(header, 0);                                              // no compression
    putU32(header, static_cast<uint32_t>(imageSize));
    putU32(header, 2835);                                           // 72 dpi
    putU32(header, 2835);
    putU32(header, 256);                                            // palette entries
    putU32(header, 0);
    for (uint32_t level = 0; level < 256; ++level) {
        header.push_back(static_cast<uint8_t>(level));
        header.push_back(static_cast<uint8_t>(level));
        header.push_back(static_cast<uint8_t>(level));
        header.push_back(0);
    }

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
                   std::fwrite(raster, 1, static_cast<size_t>(imageSize), file) == imageSize;
    written = (std::fclose(file) == 0) && written;
    return written ? 1 : 0;
}
