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
#include <iostream>
#include <string>

#include "../tools/demo/SyntheticCt.h"
#include "network/AssociationService.h"

namespace {

using syntheticct::textElement;

const char* const uidRoot = "1.2.826.0.1.3680043.9.7133.50";

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
    syntheticct::addIdentity(set, std::string(uidRoot) + ".2." + number, "BENCH^SERIES", "BENCH0001",
                             std::string(uidRoot) + ".1", std::string(uidRoot) + ".1.1");
    set->addElement(textElement(0x0020, 0x0013, number, 'I', 'S'));
    syntheticct::addImagePixelAttributes(set, 12, false);
    set->addElement(textElement(0x0028, 0x1052, "-1024", 'D', 'S'));
    set->addElement(textElement(0x0028, 0x1053, "1", 'D', 'S'));
    set->addElement(syntheticct::pixelData([index](int row, int column) { return storedValue(row, column, index); }));
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
