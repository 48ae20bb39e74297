// Writes two synthetic CT-like DICOM images with the toolkit, as files with
// preamble and meta information (save mode 3):
//   OUTPUT_DIRECTORY/ct.dcm         512 x 512, 12 bits stored, unsigned (HU + 1024)
//   OUTPUT_DIRECTORY/ct_signed.dcm  the same slice stored as signed 16-bit HU
// The slice: air around a body with two lungs, a heart, a spine and a ring of
// ribs, and a small marker at the start of the first stored row, so that
// orientation and contrast are visible at a glance.
//
//   make_ct OUTPUT_DIRECTORY

#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>

#include "SyntheticCt.h"
#include "network/AssociationService.h"

namespace {

using syntheticct::textElement;

bool inEllipse(double x, double y, double centerX, double centerY, double radiusX, double radiusY) {
    const double dx = (x - centerX) / radiusX, dy = (y - centerY) / radiusY;
    return dx * dx + dy * dy <= 1.0;
}

// Hounsfield units of the synthetic slice at (row, column).
int hounsfield(int row, int column) {
    const double x = column, y = row;
    if (row < 12 && column < 24) return 1500;  // marker: start of the first stored row
    if (!inEllipse(x, y, 256, 270, 215, 170)) return -1000;
    int value = 30 + static_cast<int>(20.0 * std::sin(x / 23.0) * std::cos(y / 31.0));  // soft tissue
    if (inEllipse(x, y, 170, 250, 70, 105) || inEllipse(x, y, 342, 250, 70, 105)) {
        value = -820 + static_cast<int>(30.0 * std::sin((x + y) / 9.0));  // lungs
    }
    if (inEllipse(x, y, 256, 215, 45, 38)) value = 45;                                             // heart
    if (inEllipse(x, y, 256, 380, 34, 30)) value = inEllipse(x, y, 256, 380, 20, 17) ? 250 : 900;  // vertebra
    const double ring = std::hypot((x - 256) / 200.0, (y - 270) / 155.0);
    if (ring > 0.92 && ring < 0.99 && std::fmod(std::atan2(y - 270, x - 256) + 4.0, 0.35) < 0.12) value = 650;  // ribs
    return value;
}

DataSet* ctSlice(bool signedValues) {
    auto* set = new DataSet();
    syntheticct::addIdentity(set,
                             signedValues ? "1.2.826.0.1.3680043.9.7133.1.2" : "1.2.826.0.1.3680043.9.7133.1.1",
                             "DEMO^PATIENT", "DEMO0001", "1.2.826.0.1.3680043.9.7133.1",
                             "1.2.826.0.1.3680043.9.7133.1.0");
    syntheticct::addImagePixelAttributes(set, signedValues ? 16 : 12, signedValues);
    set->addElement(textElement(0x0028, 0x1050, "40", 'D', 'S'));
    set->addElement(textElement(0x0028, 0x1051, "400", 'D', 'S'));
    set->addElement(textElement(0x0028, 0x1052, signedValues ? "0" : "-1024", 'D', 'S'));
    set->addElement(textElement(0x0028, 0x1053, "1", 'D', 'S'));
    set->addElement(syntheticct::pixelData([signedValues](int row, int column) {
        const int value = hounsfield(row, column);
        return signedValues ? static_cast<uint16_t>(static_cast<int16_t>(value)) : static_cast<uint16_t>(value + 1024);
    }));
    return set;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_ct OUTPUT_DIRECTORY\n";
        return 2;
    }
    AssociationService service;
    int failures = 0;
    for (bool signedValues : {false, true}) {
        const std::string path = std::string(argv[1]) + (signedValues ? "/ct_signed.dcm" : "/ct.dcm");
        DataSet* set = ctSlice(signedValues);
        if (service.saveFile(path.c_str(), FileWithHeaderExplicit, set) == 1) {
            std::cout << "wrote " << path << "\n";
        } else {
            std::cerr << "make_ct: " << path << ": cannot write\n";
            ++failures;
        }
        delete set;
    }
    return failures == 0 ? 0 : 1;
}
