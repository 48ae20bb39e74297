// dicomtk dump: one line per element in tag order, items indented under
// their element.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "Commands.h"

namespace {

const char* const dumpHelp =
    "usage: dicomtk dump [--hex] [--dictionary FILE] FILE...\n"
    "\n"
    "Prints every element of each DICOM file in tag order, one line each:\n"
    "  (gggg,eeee) VR length value # name\n"
    "VR and name come from the data dictionary where the file does not carry\n"
    "the VR (implicit VR); VR is '--' and the name is left out for elements the\n"
    "dictionary does not know, such as private ones. The value is shown as\n"
    "text for text values, as numbers for US, SS, UL, SL, FL, FD and AT\n"
    "(several separated by backslashes), and as a byte count otherwise.\n"
    "Sequence items are indented under their element, and so are the offset\n"
    "table and the fragments of compressed pixel data. Group length elements\n"
    "(gggg,0000) are the ones the toolkit computes. With --hex every value is\n"
    "printed in full as hexadecimal, and names are left out.\n"
    "The standard dictionary is found without an option; --dictionary FILE or\n"
    "the environment variable DICOMTK_DICTIONARY names another one.\n";

bool isTextVr(uint16_t vr) {
    static const char* const textVrs[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT",
                                          "PN", "SH", "ST", "TM", "UI", "UT", "UC", "UR"};
    for (const char* text : textVrs) {
        if (vr == vrCode(text[0], text[1])) return true;
    }
    return false;
}

bool isPrintable(const DataElement* element) {
    if (element->value == nullptr || element->length == 0 || element->length > 1024) return false;
    for (uint32_t index = 0; index < element->length; ++index) {
        const uint8_t byte = element->value[index];
        const bool trailingPad = byte == 0 && index == element->length - 1;
        if (!trailingPad && (byte < 0x20 || byte > 0x7E) && byte != '\\') return false;
    }
    return true;
}

std::string textPreview(const DataElement* element) {
    std::string text(reinterpret_cast<const char*>(element->value), element->length);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    for (char& character : text) {
        if (static_cast<uint8_t>(character) < 0x20) character = '.';
    }
    if (text.size() > 64) text = text.substr(0, 61) + "...";
    return "\"" + text + "\"";
}

std::string numberPreview(const DataElement* element, uint16_t vrShown, bool bigEndian) {
    const char first = static_cast<char>(vrShown >> 8), second = static_cast<char>(vrShown);
    const std::string vr{first, second};
    const uint32_t size = (vr == "US" || vr == "SS") ? 2 : (vr == "FD") ? 8 : 4;
    // A value that is no whole number of numbers is shown as what it is.
    if (element->length % size != 0) return std::to_string(element->length) + " bytes";
    std::string text;
    const uint32_t count = element->length / size;
    for (uint32_t index = 0; index < count && index < 8; ++index) {
        uint8_t bytes[8];
        for (uint32_t byte = 0; byte < size; ++byte) {
            bytes[byte] = element->value[index * size + (bigEndian ? size - 1 - byte : byte)];
        }
        char number[48];
        if (vr == "US") {
            std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(bytes[0] | bytes[1] << 8));
        } else if (vr == "SS") {
            std::snprintf(number, sizeof number, "%d", static_cast<int16_t>(bytes[0] | bytes[1] << 8));
        } else if (vr == "FD") {
            double value;
            std::memcpy(&value, bytes, 8);
            std::snprintf(number, sizeof number, "%g", value);
        } else if (vr == "AT") {
            // A tag: group, then element, each 16 bits in the value's byte
            // order. The big-endian reversal above swapped the two halves too.
            const int groupAt = bigEndian ? 2 : 0, elementAt = bigEndian ? 0 : 2;
            std::snprintf(number, sizeof number, "(%04X,%04X)",
                          static_cast<unsigned>(bytes[groupAt] | bytes[groupAt + 1] << 8),
                          static_cast<unsigned>(bytes[elementAt] | bytes[elementAt + 1] << 8));
        } else if (vr == "FL") {
            float value;
            std::memcpy(&value, bytes, 4);
            std::snprintf(number, sizeof number, "%g", static_cast<double>(value));
        } else {
            uint32_t value;
            std::memcpy(&value, bytes, 4);
            if (vr == "SL") {
                std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(value));
            } else {
                std::snprintf(number, sizeof number, "%u", value);
            }
        }
        if (!text.empty()) text += "\\";
        text += number;
    }
    if (count > 8) text += "\\...";
    return text;
}

bool isNumberVr(uint16_t vr) {
    return vr == vrCode('U', 'S') || vr == vrCode('S', 'S') || vr == vrCode('U', 'L') || vr == vrCode('S', 'L') ||
           vr == vrCode('F', 'L') || vr == vrCode('F', 'D') || vr == vrCode('A', 'T');
}

std::string preview(const DataElement* element, uint16_t vr, bool bigEndian, bool hex) {
    if (element->value == nullptr || element->length == 0) return "";
    if (hex) {
        std::string text;
        text.reserve(element->length * 2);
        static const char digits[] = "0123456789ABCDEF";
        for (uint32_t index = 0; index < element->length; ++index) {
            text += digits[element->value[index] >> 4];
            text += digits[element->value[index] & 0x0F];
        }
        return text;
    }
    // Group length elements are made by the toolkit in host byte order.
    if (element->element == 0 && element->length == 4) return numberPreview(element, vrCode('U', 'L'), false);
    if (isTextVr(vr) || (vr == 0 && isPrintable(element))) return textPreview(element);
    if (isNumberVr(vr)) return numberPreview(element, vr, bigEndian && element->group != 0x0002);
    return std::to_string(element->length) + " bytes";
}

std::string indent(int depth) { return std::string(static_cast<size_t>(depth) * 2, ' '); }

// Encapsulated pixel data: its value is the basic offset table and the
// fragments, each an item with a 32-bit little-endian length.
void dumpFragments(const DataElement* element, int depth) {
    uint32_t at = 0;
    for (uint32_t index = 0; element->value != nullptr && element->length - at >= 8; ++index) {
        const uint8_t* item = element->value + at;
        const uint32_t length = item[4] | item[5] << 8 | item[6] << 16 | static_cast<uint32_t>(item[7]) << 24;
        if (length > element->length - at - 8) break;
        std::cout << indent(depth + 1) << (index == 0 ? "offset table " : "fragment " + std::to_string(index) + " ")
                  << length << " bytes\n";
        at += 8 + length;
    }
}

void dumpSet(DataSet* set, int depth, bool bigEndian, bool hex, bool encapsulated, const DataDictionary& dictionary) {
    while (DataElement* element = set->nextElement()) {
        // Only what the file holds: the data set hands out a computed group
        // length before every group, also where the file has none.
        if (element->computedGroupLength != 0) {
            delete element;
            continue;
        }
        char header[48];
        char vr[3] = {'-', '-', 0};
        // The file's VR where it has one, else the dictionary's.
        const uint16_t vrShown = element->vr != 0 ? element->vr : dictionary.lookup(element->group, element->element);
        if (vrShown != 0) {
            // Letters as the file had them; anything unprintable shows as '?'.
            for (int index = 0; index < 2; ++index) {
                const char letter = static_cast<char>(vrShown >> (index == 0 ? 8 : 0));
                vr[index] = (letter >= 0x21 && letter <= 0x7E) ? letter : '?';
            }
        }
        std::snprintf(header, sizeof header, "(%04X,%04X) %s %u", element->group, element->element, vr,
                      element->length);
        std::cout << indent(depth) << header;
        const std::string value = preview(element, vrShown, bigEndian, hex);
        if (!value.empty()) std::cout << " " << value;
        if (!hex) {
            const char* name = dictionary.nameOf(element->group, element->element);
            if (name == nullptr && element->element == 0x0000) name = "Group Length";
            if (name != nullptr) std::cout << " # " << name;
        }
        std::cout << "\n";
        if (element->items != nullptr) {
            for (uint32_t index = 0; index < element->items->count(); ++index) {
                std::cout << indent(depth + 1) << "item " << index + 1 << "\n";
                dumpSet(element->items->at(index)->element, depth + 2, bigEndian, hex, encapsulated, dictionary);
            }
        } else if (encapsulated && element->sameTag(0x7FE0, 0x0010)) {
            dumpFragments(element, depth);
        }
        delete element;
    }
}

}  // namespace

void printDataSet(DataSet* set, bool bigEndian, const DataDictionary* dictionary) {
    static const DataDictionary noDictionary(1, nullptr);
    dumpSet(set, 0, bigEndian, false, holdsEncapsulatedPixelData(set), dictionary != nullptr ? *dictionary : noDictionary);
}

int runDump(const std::vector<std::string>& arguments, const std::string& programPath) {
    bool hex = false;
    std::string dictionaryPath;
    std::vector<std::string> files;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            std::cout << dumpHelp;
            return 0;
        }
        if (argument == "--dictionary" && index + 1 < arguments.size()) {
            dictionaryPath = arguments[++index];
        } else if (argument == "--hex") {
            hex = true;
        } else if (!argument.empty() && argument[0] == '-') {
            std::cerr << dumpHelp;
            return fail("dump", "unknown option " + argument);
        } else {
            files.push_back(argument);
        }
    }
    if (files.empty()) {
        std::cerr << dumpHelp;
        return 2;
    }
    DataDictionary dictionary(1, nullptr);
    if (loadDictionary(dictionary, dictionaryPath, programPath) < 0) return 1;
    int status = 0;
    StandardEncodingService service;
    for (const std::string& path : files) {
        if (files.size() > 1) std::cout << "# " << path << "\n";
        ObjectDataSet* partial = nullptr;
        ObjectDataSet* set = loadDicom(service, path, &partial);
        if (set == nullptr) {
            status = 1;
            set = partial;  // what could be decoded is still shown
        }
        if (set == nullptr) continue;
        const bool bigEndian = holdsBigEndianValues(set);
        dumpSet(set, 0, bigEndian, hex, holdsEncapsulatedPixelData(set), dictionary);
        delete set;
    }
    std::cout.flush();
    return status;
}
