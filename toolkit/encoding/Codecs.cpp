// The transfer-syntax codecs of AssociationService: data sets to and from a
// ByteStream in implicit VR little endian and explicit VR little and big
// endian. Byte order applies to tags, VR letters and lengths only; value
// bytes are copied exactly as they stand. Sequence items are always encoded
// as implicit VR inside, with an explicit item length; no delimitation items
// are written.
//
// Input is untrusted: the decoders work on buffered input and believe no
// length beyond the buffered bytes (nothing is allocated for a value that is
// not there), input that ends inside an element fails the read, and items
// nest at most maximumNesting deep.

#include <cstring>
#include <new>

#include "../network/AssociationService.h"
#include "ByteOrder.h"
#include "TransferSyntax.h"

namespace {

constexpr uint16_t itemGroup = 0xFFFE;
constexpr uint16_t itemElement = 0xE000;
constexpr uint16_t itemDelimitationElement = 0xE00D;
constexpr uint32_t undefinedLength = 0xFFFFFFFFu;
constexpr int maximumNesting = 32;

// VRs whose explicit header has a reserved field and a 32-bit length.
bool usesLongForm(uint16_t vr) {
    switch (vr) {
        case vrCode('O', 'B'):
        case vrCode('O', 'D'):
        case vrCode('O', 'F'):
        case vrCode('O', 'L'):
        case vrCode('O', 'V'):
        case vrCode('O', 'W'):
        case vrCode('S', 'Q'):
        case vrCode('S', 'V'):
        case vrCode('U', 'C'):
        case vrCode('U', 'N'):
        case vrCode('U', 'R'):
        case vrCode('U', 'T'):
        case vrCode('U', 'V'):
            return true;
        default:
            return false;
    }
}

// Whether n more bytes are buffered. A decoder works on input that is
// buffered whole (a file read to its end, a gathered message) and never asks
// the transport for more: a length is believed only as far as bytes exist.
int ensureBuffered(ByteStream& stream, uint32_t n) { return stream.availableCount() >= n ? 1 : 0; }

// The code named by a Transfer Syntax UID element, or 0. The text is the
// value's first (length modulo 64) bytes, without one trailing space.
int32_t syntaxNamedBy(const DataElement* element) {
    char text[128] = {};
    const uint32_t size = element->length % 64;
    if (element->value != nullptr) std::memcpy(text, element->value, size);
    const size_t textLength = std::strlen(text);
    if (textLength != 0 && text[textLength - 1] == ' ') text[textLength - 1] = '\0';
    return findTransferSyntax(text);
}

struct ElementHeader {
    uint16_t group = 0;
    uint16_t element = 0;
    uint16_t vr = 0;
    uint32_t length = 0;
};

// Reads the rest of a header whose group number has been read.
int readHeaderRest(ByteStream& stream, bool explicitVr, ElementHeader& header) {
    if (!explicitVr) {
        if (ensureBuffered(stream, 6) == 0) return 0;
        stream.readU16(header.element).readU32(header.length);
        return 1;
    }
    if (ensureBuffered(stream, 4) == 0) return 0;
    uint8_t first = 0, second = 0;
    stream.readU16(header.element).readU8(first).readU8(second);
    header.vr = static_cast<uint16_t>(first << 8 | second);
    if (usesLongForm(header.vr)) {
        if (ensureBuffered(stream, 6) == 0) return 0;
        uint16_t reserved = 0;
        stream.readU16(reserved).readU32(header.length);
    } else {
        if (ensureBuffered(stream, 2) == 0) return 0;
        uint16_t shortLength = 0;
        stream.readU16(shortLength);
        header.length = shortLength;
    }
    return 1;
}

class Decoder {
public:
    Decoder(AssociationService& service, ByteStream& stream) : service_(service), stream_(stream) {}

    // Reads elements into target until the input is used up, an item
    // delimitation arrives, or the enclosing defined-length item is complete.
    // syntaxCode is set only for a read that follows (0002,0010).
    int readElements(DataSet* target, bool explicitVr, int32_t* syntaxCode, int depth) {
        if (target == nullptr) return 0;
        const DataElement* syntaxElement = nullptr;
        while (stream_.availableCount() != 0) {
            ElementHeader header;
            if (ensureBuffered(stream_, 2) == 0) return 0;
            stream_.readU16(header.group);
            if (syntaxCode != nullptr && syntaxElement != nullptr && header.group > 0x0002) {
                const int32_t named = syntaxNamedBy(syntaxElement);
                if (named == 0) return 0;
                if (named != *syntaxCode) {
                    if (byteOrderOf(named) != byteOrderOf(*syntaxCode)) {
                        header.group = swapBytes16(header.group);
                        stream_.setReadOrder(byteOrderOf(named));
                    }
                    *syntaxCode = named;
                    explicitVr = isExplicitVr(named);
                }
                syntaxElement = nullptr;
            }
            if (readHeaderRest(stream_, explicitVr, header) == 0) return 0;

            bool counted = false;
            if (header.group == itemGroup) {
                if (header.element == itemDelimitationElement) return 1;
                if (header.element != itemElement) continue;
                int result = readItem(target, header.length, depth, counted);
                if (result == 0) return 0;
            } else {
                DataElement* element = readValue(header);
                if (element == nullptr) return 0;
                const bool isSyntax = element->sameTag(0x0002, 0x0010);
                if (target->addElement(element) == 0) {
                    delete element;
                } else if (isSyntax) {
                    syntaxElement = element;
                }
                counted = subtract(header.length + 8u);
            }
            if (counted && service_.itemBytesLeft == 0) return 1;
        }
        return 1;
    }

private:
    // Subtracts from the bound of the enclosing item, when there is one.
    bool subtract(uint32_t bytes) {
        if (service_.itemBytesLeft == 0) return false;
        service_.itemBytesLeft = static_cast<int32_t>(static_cast<uint32_t>(service_.itemBytesLeft) - bytes);
        return true;
    }

    DataElement* readValue(const ElementHeader& header) {
        // An undefined length outside an item header has no value this codec can read.
        if (header.length == undefinedLength) return nullptr;
        uint8_t* value = nullptr;
        if (header.length != 0) {
            if (ensureBuffered(stream_, header.length) == 0) return nullptr;
            value = new (std::nothrow) uint8_t[header.length];
            if (value == nullptr) return nullptr;
            stream_.readBytes(value, header.length);
        }
        auto* element = new (std::nothrow) DataElement();
        if (element == nullptr) {
            delete[] value;
            return nullptr;
        }
        element->group = header.group;
        element->element = header.element;
        element->length = header.length;
        element->value = value;
        element->vr = header.vr;
        return element;
    }

    // An item header has been read: its contents follow as implicit VR.
    int readItem(DataSet* target, uint32_t length, int depth, bool& counted) {
        if (length == 0) {
            counted = subtract(8);
            return 1;
        }
        if (depth >= maximumNesting) return 0;
        auto* item = new (std::nothrow) DataSet();
        if (item == nullptr) return 0;
        const int32_t enclosingBound = service_.itemBytesLeft;
        int result;
        if (length == undefinedLength) {
            // Read in little endian up to the item delimitation, with no bound
            // of its own; the stream's byte order is given back afterwards.
            const int32_t order = stream_.readOrder;
            service_.itemBytesLeft = 0;
            stream_.setReadOrder(ByteStream::littleEndian);
            result = readElements(item, false, nullptr, depth + 1);
            stream_.setReadOrder(order);
        } else {
            if (length > 0x7FFFFFFFu || ensureBuffered(stream_, length) == 0) {
                delete item;
                return 0;
            }
            service_.itemBytesLeft = static_cast<int32_t>(length);
            result = readElements(item, false, nullptr, depth + 1);
        }
        if (result == 0) {
            delete item;
            return 0;
        }
        service_.itemBytesLeft = enclosingBound;
        const int32_t itemSize = item->encodedLength;
        if (target->addItem(item) == 0) {
            delete item;
            return 0;
        }
        counted = subtract(static_cast<uint32_t>(itemSize) + (length == undefinedLength ? 16u : 8u));
        return 1;
    }

    AssociationService& service_;
    ByteStream& stream_;
};

// Collects an item's encoded contents so that its header can carry their
// exact size. It is never flushed.
class ItemBuffer : public ByteStream {
public:
    int rawRead(uint8_t*, uint32_t) override { return -1; }
    int rawWrite(const uint8_t*, uint32_t) override { return 0; }
};

class Encoder {
public:
    explicit Encoder(ByteStream& stream) : stream_(stream) {}

    // Drains source onto the stream. syntaxCode is set only for a write that
    // follows (0002,0010): that element is held until the first element
    // after the meta group and then decides the encoding.
    int writeElements(DataSet* source, bool explicitVr, int32_t* syntaxCode, int depth) {
        if (source == nullptr) return 0;
        DataElement* held = nullptr;
        while (DataElement* element = source->nextElement()) {
            if (held != nullptr && element->group > 0x0002) {
                const int32_t named = syntaxNamedBy(held);
                delete held;
                held = nullptr;
                if (named == 0) {
                    delete element;
                    return 0;
                }
                if (named != *syntaxCode) {
                    stream_.setWriteOrder(byteOrderOf(named));
                    *syntaxCode = named;
                    explicitVr = isExplicitVr(named);
                }
            }
            if (writeElement(element, explicitVr, depth) == 0) {
                delete element;
                delete held;
                return 0;
            }
            if (syntaxCode != nullptr && element->sameTag(0x0002, 0x0010)) {
                delete held;
                held = element;
            } else {
                delete element;
            }
        }
        delete held;
        return 1;
    }

private:
    int writeElement(DataElement* element, bool explicitVr, int depth) {
        const uint32_t length = element->length;
        // Nothing to write from: an undefined length, or a length without a value.
        if (length == undefinedLength || (length != 0 && element->value == nullptr)) return 0;
        const bool padded = (length & 1u) != 0;
        const uint32_t written = length + (padded ? 1u : 0u);
        stream_.writeU16(element->group).writeU16(element->element);
        if (explicitVr) {
            uint16_t vr = element->vr;
            // A value too long for the 16-bit length field goes out in the
            // long form as UN rather than with a cut length.
            if (!usesLongForm(vr) && written > 0xFFFF) vr = vrCode('U', 'N');
            stream_.writeU8(static_cast<uint8_t>(vr >> 8)).writeU8(static_cast<uint8_t>(vr));
            if (usesLongForm(vr)) {
                stream_.writeU16(0).writeU32(written);
            } else {
                stream_.writeU16(static_cast<uint16_t>(written));
            }
        } else {
            stream_.writeU32(written);
        }
        if (length != 0 && stream_.writeBytes(element->value, length) == 0) return 0;
        if (padded) stream_.writeU8(0);
        if (element->items != nullptr) {
            if (depth >= maximumNesting) return 0;
            for (uint32_t index = 0; index < element->items->count(); ++index) {
                if (writeItem(element->items->at(index)->element, explicitVr, depth) == 0) return 0;
            }
        }
        return 1;
    }

    // An item header, then the item's contents as implicit VR. The header
    // carries the exact size of the contents: the item's encodedLength counts
    // 12 bytes for each item nested in it where its implicit header takes 8,
    // so it is right only for items without items of their own.
    int writeItem(DataSet* item, bool explicitVr, int depth) {
        ItemBuffer contents;
        contents.setWriteOrder(stream_.writeOrder);
        if (Encoder(contents).writeElements(item, false, nullptr, depth + 1) == 0) return 0;
        stream_.writeU16(itemGroup).writeU16(itemElement);
        if (explicitVr) stream_.writeU8('S').writeU8('Q').writeU16(0);
        stream_.writeU32(contents.pendingCount());
        for (uint32_t index = 0; index < contents.outputChunks.count(); ++index) {
            const StreamChunk* chunk = contents.outputChunks.at(index)->element;
            if (chunk->position != 0 && stream_.writeBytes(chunk->data, chunk->position) == 0) return 0;
        }
        return 1;
    }

    ByteStream& stream_;
};

}  // namespace

int AssociationService::readImplicit(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    return Decoder(*this, *stream).readElements(target, false, nullptr, 0);
}

int AssociationService::writeImplicit(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    return Encoder(*stream).writeElements(source, false, nullptr, 0);
}

int AssociationService::readImplicitLittle(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    stream->setReadOrder(littleEndian);
    return readImplicit(stream, target);
}

int AssociationService::writeImplicitLittle(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    stream->setWriteOrder(littleEndian);
    return writeImplicit(source, stream);
}

int AssociationService::readExplicit(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    return Decoder(*this, *stream).readElements(target, true, nullptr, 0);
}

int AssociationService::writeExplicit(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    return Encoder(*stream).writeElements(source, true, nullptr, 0);
}

int AssociationService::readExplicitLittle(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    stream->setReadOrder(littleEndian);
    return readExplicit(stream, target);
}

int AssociationService::writeExplicitLittle(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    stream->setWriteOrder(littleEndian);
    return writeExplicit(source, stream);
}

int AssociationService::readExplicitBig(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    stream->setReadOrder(bigEndian);
    return readExplicit(stream, target);
}

int AssociationService::writeExplicitBig(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    stream->setWriteOrder(bigEndian);
    return writeExplicit(source, stream);
}

int AssociationService::readWithSyntax(ByteStream* stream, DataSet* target, int32_t code) {
    if (stream == nullptr || target == nullptr) return 0;
    stream->setReadOrder(byteOrderOf(code));
    return Decoder(*this, *stream).readElements(target, isExplicitVr(code), &code, 0);
}

int AssociationService::writeWithSyntax(DataSet* source, ByteStream* stream, int32_t code) {
    if (stream == nullptr || source == nullptr) return 0;
    stream->setWriteOrder(byteOrderOf(code));
    return Encoder(*stream).writeElements(source, isExplicitVr(code), &code, 0);
}
