#include "SyntaxConversion.h"

#include "ByteOrder.h"
#include "TransferSyntax.h"

namespace {

// The size of the unit a VR's values are swapped in: 0 for byte and text
// values, -1 for SQ (items, no bytes of its own), -2 for UN.
int swapUnit(uint16_t vr) {
    switch (vr) {
        case vrCode('U', 'S'):
        case vrCode('S', 'S'):
        case vrCode('O', 'W'):
        case vrCode('A', 'T'):  // two 16-bit numbers
            return 2;
        case vrCode('U', 'L'):
        case vrCode('S', 'L'):
        case vrCode('F', 'L'):
        case vrCode('O', 'F'):
        case vrCode('O', 'L'):
            return 4;
        case vrCode('F', 'D'):
        case vrCode('O', 'D'):
        case vrCode('O', 'V'):
        case vrCode('S', 'V'):
        case vrCode('U', 'V'):
            return 8;
        case vrCode('S', 'Q'):
            return -1;
        case vrCode('U', 'N'):
            return -2;
        default:
            return 0;
    }
}

void swapValue(uint8_t* bytes, uint32_t length, int unit) {
    for (uint32_t start = 0; start + static_cast<uint32_t>(unit) <= length; start += static_cast<uint32_t>(unit)) {
        for (int low = 0, high = unit - 1; low < high; ++low, --high) {
            const uint8_t kept = bytes[start + low];
            bytes[start + low] = bytes[start + high];
            bytes[start + high] = kept;
        }
    }
}

// The first two value bytes of a US element in the byte order of the set.
int findNumber(DataSet* set, uint16_t group, uint16_t element, bool bigEndian, uint16_t& out) {
    const DataElement* found = set->find(group, element);
    if (found == nullptr || found->value == nullptr || found->length < 2) return 0;
    out = bigEndian ? static_cast<uint16_t>(found->value[0] << 8 | found->value[1])
                    : static_cast<uint16_t>(found->value[1] << 8 | found->value[0]);
    return 1;
}

// The pixel-value attributes whose VR is US or SS by Pixel Representation.
bool followsPixelRepresentation(uint16_t group, uint16_t element) {
    return group == 0x0028 && ((element >= 0x0104 && element <= 0x0109) || element == 0x0110 ||
                               element == 0x0111 || element == 0x0120 || element == 0x0121);
}

struct Conversion {
    bool swap;
    bool toExplicit;
    bool fromBigEndian;
    const DataDictionary* dictionary;
    ConversionProblem& problem;

    int refuse(const char* reason, const DataElement* element) {
        problem.reason = reason;
        problem.group = element != nullptr ? element->group : 0;
        problem.element = element != nullptr ? element->element : 0;
        return 0;
    }

    int convertSet(DataSet* set) {
        uint16_t bitsAllocated = 0, pixelRepresentation = 0;
        const int hasBits = findNumber(set, 0x0028, 0x0100, fromBigEndian, bitsAllocated);
        findNumber(set, 0x0028, 0x0103, fromBigEndian, pixelRepresentation);
        for (uint32_t index = 0; index < set->fillList.count(); ++index) {
            ElementGroup* group = set->fillList.at(index)->element;
            for (uint32_t position = 0; position < group->count(); ++position) {
                DataElement* element = group->at(position)->element;
                if (!convertElement(element, hasBits != 0, bitsAllocated, pixelRepresentation)) return 0;
            }
        }
        return 1;
    }

    int convertElement(DataElement* element, bool hasBits, uint16_t bitsAllocated, uint16_t pixelRepresentation) {
        const bool pixelData = element->group == 0x7FE0 && element->element == 0x0010;
        uint16_t vr = element->vr;
        if (vr == 0 && element->items != nullptr) {
            vr = vrCode('S', 'Q');
        } else if (vr == 0 && dictionary != nullptr) {
            vr = dictionary->lookup(element->group, element->element);
            if (pixelData && vr == vrCode('O', 'W') && hasBits && bitsAllocated <= 8) vr = vrCode('O', 'B');
            if (vr == vrCode('U', 'S') && pixelRepresentation == 1 &&
                followsPixelRepresentation(element->group, element->element)) {
                vr = vrCode('S', 'S');
            }
        }
        const bool hasValue = element->value != nullptr && element->length != 0 && element->length != 0xFFFFFFFFu;
        const int unit = swapUnit(vr);
        if (swap && hasValue && element->group != 0x0000) {
            if (vr == 0) return refuse("an element without a known VR cannot change byte order", element);
            if (unit == -2) return refuse("a UN value of unknown structure cannot change byte order", element);
            if (pixelData && vr == vrCode('O', 'W') && (!hasBits || bitsAllocated != 16)) {
                return refuse("OW Pixel Data whose Bits Allocated is not 16 cannot change byte order", element);
            }
            if (unit > 0 && element->length % static_cast<uint32_t>(unit) != 0) {
                return refuse("a binary value whose length is no multiple of its size", element);
            }
            if (unit > 0) swapValue(element->value, element->length, unit);
        }
        if (toExplicit && element->vr == 0 && vr != 0) element->vr = vr;
        // Items under UN are implicit VR little endian whatever the syntax.
        if (element->items != nullptr && unit != -2) {
            for (uint32_t index = 0; index < element->items->count(); ++index) {
                if (!convertSet(element->items->at(index)->element)) return 0;
            }
        }
        return 1;
    }
};

}  // namespace

bool isUncompressedCode(int32_t code) {
    return code == ImplicitLittleEndian || code == ExplicitLittleEndian || code == ExplicitBigEndian;
}

int convertUncompressedValues(DataSet* set, int32_t fromCode, int32_t toCode, const DataDictionary* dictionary,
                              ConversionProblem& problem) {
    problem = ConversionProblem();
    if (!isUncompressedCode(fromCode) || !isUncompressedCode(toCode)) {
        problem.reason = "only the uncompressed transfer syntaxes convert into one another";
        return 0;
    }
    if (set == nullptr) return 1;
    Conversion conversion{byteOrderOf(fromCode) != byteOrderOf(toCode), isExplicitVr(toCode),
                          byteOrderOf(fromCode) == 2, dictionary, problem};
    return conversion.convertSet(set);
}
