#ifndef FUZZ_FUZZSUPPORT_H
#define FUZZ_FUZZSUPPORT_H

// What the libFuzzer targets share: an in-memory transport, a text that
// tells two decoded sets apart, and a scratch file for the loaders that take
// a path.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/support/MemoryTransport.h"
#include "model/DataSet.h"
#include "stream/ByteStream.h"

namespace fuzzing {

// Serves a fixed input (then -1, the end of the connection or file) and
// collects the output.
using MemoryStream = MemoryTransport<ByteStream>;

// Drains the set into text: tags, lengths, value bytes and items. Odd
// lengths are shown padded, as they come back once written; elements are
// sorted, since a set hands out elements of the same tag in no fixed order.
// Groups below skipBelow are left out (group lengths always are).
inline std::string describe(DataSet* set, uint16_t skipBelow = 0) {
    std::vector<std::string> lines;
    while (DataElement* element = set->nextElement()) {
        if (element->element != 0 && element->group >= skipBelow) {
            // A sequence kept at undefined length (0xFFFFFFFF) is the same
            // sequence as one read with length 0: whether a reader keeps the
            // mark depends on the encoding it read (a private sequence in
            // implicit VR always does), not on what the sequence holds.
            const uint32_t length =
                element->length == 0xFFFFFFFFu ? 0u : element->length + (element->length & 1u);
            char header[32];
            std::snprintf(header, sizeof header, "(%04X,%04X)%u:", element->group, element->element, length);
            std::string line = header;
            if (element->value != nullptr) line.append(reinterpret_cast<char*>(element->value), element->length);
            if (element->length != length && element->length != 0xFFFFFFFFu) line.push_back('\0');
            if (element->items != nullptr) {
                for (uint32_t index = 0; index < element->items->count(); ++index) {
                    line += "[" + describe(element->items->at(index)->element) + "]";
                }
            }
            lines.push_back(line);
        }
        delete element;
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    // Items that came before any element are kept apart from the elements.
    if (set->looseItems != nullptr) {
        for (uint32_t index = 0; index < set->looseItems->count(); ++index) {
            text += "loose[" + describe(set->looseItems->at(index)->element) + "]\n";
        }
    }
    return text;
}

// A file of this process in $TMPDIR (or /tmp), named after the target and a
// suffix, written with the bytes; its path, or "" when it could not be
// written. TMPDIR=/dev/shm keeps the file targets off the disk.
inline std::string scratchFile(const char* name, const uint8_t* data, size_t size) {
    const char* folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder != nullptr && *folder != 0 ? folder : "/tmp") + "/" + std::string(name) +
                             "-" + std::to_string(getpid());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return "";
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return "";
    return path;
}

}  // namespace fuzzing

#endif
