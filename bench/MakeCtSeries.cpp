// Writes a series of synthetic CT slices for the storage throughput
// measurement: COUNT files of 512 x 512 16-bit pixels (about 525 KB each,
// saved with preamble and meta information in implicit VR little endian),
// each with a SOP Instance UID of its own and pixels of its own.
//
//   make_ct_series OUTPUT_DIRECTORY COUNT

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "network/AssociationService.h"

namespace {

constexpr uint16_t rows = 512;
constexpr uint16_t columns = 512;
const char* const uidRoot = "1.2.826.0.1.3680043.9.7133.50";

DataElement* textElement(uint16_t group, uint16_t element, const std::string& text, char first, char second) {
    auto* made = new DataElement(group, element, static_cast<uint32_t>(text.size() + (text.size() & 1u)), 1);
    std::memcpy(made->value, text.data(), text.size());
    // Text values are padded with a space, UIDs with a NUL.
    if ((text.size() & 1u) != 0) made->value[text.size()] = (first == 'U' && second == 'I') ? '\0' : ' ';
    made->vr = vrCode(first, second);
    return made;
}

DataElement* u16Element(uint16_t group, uint16_t element, uint16_t number) {
    auto* made = new DataElement(group, element, 2, 1);
    made->value[0] = static_cast<uint8_t>(number);
    made->value[1] = static_cast<uint8_t>(number >> 8);
    made->vr = vrCode('U', 'S');
    return made;
}

// A body of soft tissue with two lungs in air, changing slowly from slice
// to slice, stored as HU + 1024 in 12 bits.
uint16_t storedValue(int row, int column, int slice) {
    const double x = (column - 256) / 220.0, y = (row - 270) / (170.0 + 10.0 * std::sin(slice / 9.0));
    if (x * x + y * y > 1.0) return 24;  // air, -1000 HU
    const double lungX = (std::abs(column - 256) - 86) / 70.0, lungY = (row - 250) / (105.0 - (slice % 40));
    int hounsfield = 30 + static_cast<int>(20.0 * std::sin(column / 23.0 + slice) * std::cos(row / 31.0));
    if (lungX * lungX + lungY * lungY <= 1.0) hounsfield = -820 + static_cast<int>(30.0 * std::sin((row + column) / 9.0));
    return static_cast<uint16_t>(hounsfield + 1024);
}

DataSet* slice(int index) {
    auto* set = new DataSet();
    const std::string number = std::to_string(index + 1);
    set->addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2", 'U', 'I'));
    set->addElement(textElement(0x0008, 0x0018, std::string(uidRoot) + ".2." + number, 'U', 'I'));
    set->addElement(textElement(0x0008, 0x0060, "CT", 'C', 'S'));
    set->addElement(textElement(0x0010, 0x0010, "BENCH^SERIES", 'P', 'N'));
    set->addElement(textElement(0x0010, 0x0020, "BENCH0001", 'L', 'O'));
    set->addElement(textElement(0x0020, 0x000D, std::string(uidRoot) + ".1", 'U', 'I'));
    set->addElement(textElement(0x0020, 0x000E, std::string(uidRoot) + ".1.1", 'U', 'I'));
    set->addElement(textElement(0x0020, 0x0013, number, 'I', 'S'));
    set->addElement(u16Element(0x0028, 0x0002, 1));
    set->addElement(textElement(0x0028, 0x0004, "MONOCHROME2", 'C', 'S'));
    set->addElement(u16Element(0x0028, 0x0010, rows));
    set->addElement(u16Element(0x0028, 0x0011, columns));
    set->addElement(u16Element(0x0028, 0x0100, 16));
    set->addElement(u16Element(0x0028, 0x0101, 12));
    set->addElement(u16Element(0x0028, 0x0102, 11));
    set->addElement(u16Element(0x0028, 0x0103, 0));
    set->addElement(textElement(0x0028, 0x1052, "-1024", 'D', 'S'));
    set->addElement(textElement(0x0028, 0x1053, "1", 'D', 'S'));
    auto* pixels = new DataElement(0x7FE0, 0x0010, rows * columns * 2, 1);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const uint16_t stored = storedValue(row, column, index);
            const size_t at = (static_cast<size_t>(row) * columns + column) * 2;
            pixels->value[at] = static_cast<uint8_t>(stored);
            pixels->value[at + 1] = static_cast<uint8_t>(stored >> 8);
        }
    }
    pixels->vr = vrCode('O', 'W');
    set->addElement(pixels);
    return set;
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long count = argc == 3 ? std::strtol(argv[2], &end, 10) : 0;
    if (argc != 3 || *end != '\0' || count < 1 || count > 100000) {
        std::cerr << "usage: make_ct_series OUTPUT_DIRECTORY COUNT\n";
        return 2;
    }
    AssociationService service;
    for (long index = 0; index < count; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "/ct%05ld.dcm", index + 1);
        const std::string path = std::string(argv[1]) + name;
        DataSet* set = slice(static_cast<int>(index));
        const int saved = service.saveFile(path.c_str(), FileWithHeaderExplicit, set);
        delete set;
        if (saved != 1) {
            std::cerr << "make_ct_series: " << path << ": cannot write\n";
            return 1;
        }
    }
    std::cout << "wrote " << count << " slices to " << argv[1] << "\n";
    return 0;
}
