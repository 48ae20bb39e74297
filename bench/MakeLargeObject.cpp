// Writes one large multi-frame object for the memory measurements of large
// objects: FRAMES frames of 512 x 512 16-bit pixels (512 KiB each) in one
// Pixel Data element, as a DICOM file with preamble and meta information in
// explicit VR little endian. The file is written as a stream, frame after
// frame, so that writing it needs no memory of the object's size, and
// without the toolkit, so that what is measured does not make its own input.
//
//   make_large_object OUTPUT_FILE FRAMES

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t rows = 512;
constexpr uint32_t columns = 512;
constexpr uint32_t frameBytes = rows * columns * 2;
const char* const sopClass = "1.2.840.10008.5.1.4.1.1.7.3";  // Multi-frame Grayscale Word Secondary Capture
const char* const sopInstance = "1.2.826.0.1.3680043.9.7133.60.1";
const char* const explicitLittle = "1.2.840.10008.1.2.1";

void put16(std::string& out, uint16_t number) {
    out.push_back(static_cast<char>(number & 0xFF));
    out.push_back(static_cast<char>(number >> 8));
}

void put32(std::string& out, uint32_t number) {
    put16(out, static_cast<uint16_t>(number & 0xFFFF));
    put16(out, static_cast<uint16_t>(number >> 16));
}

// An element of a VR with a 2-byte length, its value padded to even length
// (UIDs with NUL, text with a space).
void shortElement(std::string& out, uint16_t group, uint16_t element, const char* vr, const std::string& value) {
    std::string padded = value;
    if (padded.size() % 2 == 1) padded.push_back(std::strcmp(vr, "UI") == 0 ? '\0' : ' ');
    put16(out, group);
    put16(out, element);
    out.append(vr, 2);
    put16(out, static_cast<uint16_t>(padded.size()));
    out += padded;
}

void usElement(std::string& out, uint16_t group, uint16_t element, uint16_t number) {
    std::string value;
    put16(value, number);
    shortElement(out, group, element, "US", value);
}

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    // The Pixel Data length must fit in 32 bits below the undefined length.
    if (frames < 1 || static_cast<unsigned long long>(frames) * frameBytes >= 0xFFFFFFFEull) {
        std::fprintf(stderr, "usage: make_large_object OUTPUT_FILE FRAMES (1 to 8191)\n");
        return 2;
    }
    std::string group;
    // (0002,0001) OB 00 01
    put16(group, 0x0002);
    put16(group, 0x0001);
    group.append("OB\0\0", 4);
    put32(group, 2);
    group.append("\x00\x01", 2);
    shortElement(group, 0x0002, 0x0002, "UI", sopClass);
    shortElement(group, 0x0002, 0x0003, "UI", sopInstance);
    shortElement(group, 0x0002, 0x0010, "UI", explicitLittle);
    shortElement(group, 0x0002, 0x0012, "UI", "1.2.826.0.1.3680043.9.7133.60");
    std::string head(128, '\0');
    head += "DICM";
    std::string length;
    put32(length, static_cast<uint32_t>(group.size()));
    shortElement(head, 0x0002, 0x0000, "UL", length);
    head += group;

    shortElement(head, 0x0008, 0x0016, "UI", sopClass);
    shortElement(head, 0x0008, 0x0018, "UI", sopInstance);
    shortElement(head, 0x0008, 0x0060, "CS", "OT");
    shortElement(head, 0x0010, 0x0010, "PN", "BENCH^LARGE");
    shortElement(head, 0x0010, 0x0020, "LO", "BENCH0002");
    shortElement(head, 0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.9.7133.60.2");
    shortElement(head, 0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.9.7133.60.2.1");
    shortElement(head, 0x0020, 0x0013, "IS", "1");
    usElement(head, 0x0028, 0x0002, 1);
    shortElement(head, 0x0028, 0x0004, "CS", "MONOCHROME2");
    shortElement(head, 0x0028, 0x0008, "IS", std::to_string(frames));
    usElement(head, 0x0028, 0x0010, rows);
    usElement(head, 0x0028, 0x0011, columns);
    usElement(head, 0x0028, 0x0100, 16);
    usElement(head, 0x0028, 0x0101, 12);
    usElement(head, 0x0028, 0x0102, 11);
    usElement(head, 0x0028, 0x0103, 0);
    // (7FE0,0010) OW, 4-byte length.
    put16(head, 0x7FE0);
    put16(head, 0x0010);
    head.append("OW\0\0", 4);
    put32(head, static_cast<uint32_t>(frames * frameBytes));

    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(head.data(), 1, head.size(), file) != head.size()) {
        std::fprintf(stderr, "make_large_object: %s: cannot write\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> frame(frameBytes);
    for (long index = 0; index < frames; ++index) {
        // A gradient that moves from frame to frame, in 12 bits.
        for (uint32_t pixel = 0; pixel < rows * columns; ++pixel) {
            const uint32_t row = pixel / columns, column = pixel % columns;
            const uint16_t stored = static_cast<uint16_t>((row * 3 + column * 5 + static_cast<uint32_t>(index) * 7) & 0x0FFF);
            frame[pixel * 2] = static_cast<uint8_t>(stored);
            frame[pixel * 2 + 1] = static_cast<uint8_t>(stored >> 8);
        }
        if (std::fwrite(frame.data(), 1, frame.size(), file) != frame.size()) {
            std::fprintf(stderr, "make_large_object: %s: cannot write\n", argv[1]);
            std::fclose(file);
            return 1;
        }
    }
    if (std::fclose(file) != 0) {
        std::fprintf(stderr, "make_large_object: %s: cannot write\n", argv[1]);
        return 1;
    }
    std::printf("wrote %ld frames, %llu bytes of pixel data, to %s\n", frames,
                static_cast<unsigned long long>(frames) * frameBytes, argv[1]);
    return 0;
}
