#include "SyntheticCt.h"

#include <cstring>

namespace syntheticct {

DataElement* textElement(uint16_t group, uint16_t element, const std::string& text, char first, char second) {
    auto* made = new DataElement(group, element, static_cast<uint32_t>(text.size() + (text.size() & 1u)), 1);
    std::memcpy(made->value, text.data(), text.size());
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

void addIdentity(DataSet* set, const std::string& sopInstanceUid, const std::string& patientName,
                 const std::string& patientId, const std::string& studyUid, const std::string& seriesUid) {
    set->addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2", 'U', 'I'));
    set->addElement(textElement(0x0008, 0x0018, sopInstanceUid, 'U', 'I'));
    set->addElement(textElement(0x0008, 0x0060, "CT", 'C', 'S'));
    set->addElement(textElement(0x0010, 0x0010, patientName, 'P', 'N'));
    set->addElement(textElement(0x0010, 0x0020, patientId, 'L', 'O'));
    set->addElement(textElement(0x0020, 0x000D, studyUid, 'U', 'I'));
    set->addElement(textElement(0x0020, 0x000E, seriesUid, 'U', 'I'));
}

void addImagePixelAttributes(DataSet* set, uint16_t bitsStored, bool signedValues) {
    set->addElement(u16Element(0x0028, 0x0002, 1));
    set->addElement(textElement(0x0028, 0x0004, "MONOCHROME2", 'C', 'S'));
    set->addElement(u16Element(0x0028, 0x0010, rows));
    set->addElement(u16Element(0x0028, 0x0011, columns));
    set->addElement(u16Element(0x0028, 0x0100, 16));
    set->addElement(u16Element(0x0028, 0x0101, bitsStored));
    set->addElement(u16Element(0x0028, 0x0102, static_cast<uint16_t>(bitsStored - 1)));
    set->addElement(u16Element(0x0028, 0x0103, signedValues ? 1 : 0));
}

}  // namespace syntheticct
