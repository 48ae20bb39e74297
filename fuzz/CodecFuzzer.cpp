// libFuzzer target for the transfer-syntax decoders, the base service's and
// StandardEncodingService's: any input is decoded by each reader; whatever
// decodes completely is encoded again with the matching writer and must
// decode to the same elements (odd lengths aside: they come back padded).
//
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DDICOMTOOLKIT_FUZZ=ON
//   cmake --build build-fuzz --target codec_fuzzer && build-fuzz/fuzz/codec_fuzzer -max_total_time=60

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/StandardEncodingService.h"
#include "encoding/TransferSyntax.h"
#include "network/AssociationService.h"

namespace {

class MemoryStream : public ByteStream {
public:
    MemoryStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    int rawRead(uint8_t* buffer, uint32_t maximum) override {
        if (offset_ == size_) return -1;
        const size_t count = size_ - offset_ < maximum ? size_ - offset_ : maximum;
        std::memcpy(buffer, data_ + offset_, count);
        offset_ += count;
        return static_cast<int>(count);
    }
    int rawWrite(const uint8_t* buffer, uint32_t count) override {
        output.insert(output.end(), buffer, buffer + count);
        return 1;
    }
    std::vector<uint8_t> output;

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// Drains the set into text: tags, lengths, value bytes and items. Odd
// lengths are shown padded, as they come back once written; elements are
// sorted, since a set hands out elements of the same tag in no fixed order.
std::string describe(DataSet* set) {
    std::vector<std::string> lines;
    while (DataElement* element = set->nextElement()) {
        if (element->element != 0) {
            const uint32_t length = element->length + (element->length & 1u);
            char header[32];
            std::snprintf(header, sizeof header, "(%04X,%04X)%u:", element->group, element->element, length);
            std::string line = header;
            if (element->value != nullptr) line.append(reinterpret_cast<char*>(element->value), element->length);
            if (element->length != length) line.push_back('\0');
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
    return text;
}

struct Codec {
    int (AssociationService::*read)(ByteStream*, DataSet*);
    int (AssociationService::*write)(DataSet*, ByteStream*);
};

const Codec codecs[] = {
    {&AssociationService::readImplicitLittle, &AssociationService::writeImplicitLittle},
    {&AssociationService::readExplicitLittle, &AssociationService::writeExplicitLittle},
    {&AssociationService::readExplicitBig, &AssociationService::writeExplicitBig},
};

}  // namespace

// Decodes the input with a reader; 1 when it decoded completely.
int decode(AssociationService& service, const Codec& codec, const uint8_t* data, size_t size, DataSet& target) {
    MemoryStream input(data, size);
    if (size != 0) input.readAhead(static_cast<uint32_t>(size));
    service.itemBytesLeft = 0;
    return (service.*codec.read)(&input, &target);
}

void checkService(AssociationService& service, const uint8_t* data, size_t size) {
    for (const Codec& codec : codecs) {
        DataSet first;
        if (decode(service, codec, data, size, first) != 1) continue;
        const std::string expected = describe(&first);
        DataSet again;
        decode(service, codec, data, size, again);
        MemoryStream encoded(nullptr, 0);
        if ((service.*codec.write)(&again, &encoded) != 1) continue;
        encoded.flush();
        DataSet second;
        if (decode(service, codec, encoded.output.data(), encoded.output.size(), second) != 1) std::abort();
        if (describe(&second) != expected) std::abort();
    }
    MemoryStream input(data, size);
    if (size != 0) input.readAhead(static_cast<uint32_t>(size));
    DataSet target;
    service.itemBytesLeft = 0;
    service.readWithSyntax(&input, &target, ExplicitLittleEndian);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    AssociationService base;
    checkService(base, data, size);
    StandardEncodingService standard;
    checkService(standard, data, size);
    return 0;
}
