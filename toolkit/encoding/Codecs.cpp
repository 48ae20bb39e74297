// The transfer-syntax codecs of AssociationService: data sets to and from a
// ByteStream in implicit VR little endian and explicit VR little and big
// endian. Byte order applies to tags, VR letters and lengths only; value
// bytes are copied exactly as they stand (the group length elements, which
// the toolkit computes, are numbers written in the stream's order). Sequence
// items are always encoded as implicit VR inside, with an explicit item
// length; no delimitation items are written.
//
// Input is untrusted: the decoders work on buffered input and believe no
// length beyond the buffered bytes (nothing is allocated for a value that is
// not there), input that ends inside an element fails the read, and items
// nest at most maximumNesting deep.

#include <cstring>
#include <new>

#include "../network/AssociationService.h"
#include "ByteOrder.h"
#include "CodecSupport.h"
#include "ValueOutput.h"
#include "TransferSyntax.h"

namespace {

using codec::itemElement;
using codec::itemGroup;
using codec::undefinedLength;
using codec::usesLongForm;
constexpr uint16_t itemDelimitationElement = codec::itemEndElement;
constexpr int maximumNesting = 32;

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
    // VR letters are two capitals; two zero bytes stand for an element whose
    // VR was never known. Anything else is not an explicit VR header.
    const bool letters = first >= 'A' && first <= 'Z' && second >= 'A' && second <= 'Z';
    if (!letters && (first != 0 || second != 0)) return 0;
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
        return codec::newElement(header.group, header.element, header.vr, header.length, value);
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
        const uint32_t availableBefore = stream_.availableCount();
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
        // The enclosing item's bound loses the bytes this item took: its
        // header and everything read for it, a delimitation included. (The
        // item's encodedLength would count 12 bytes for each item nested in
        // it, where 8 were read.)
        const uint32_t itemBytes = availableBefore - stream_.availableCount() + 8u;
        if (target->addItem(item) == 0) {
            delete item;
            return 0;
        }
        counted = subtract(itemBytes);
        return 1;
    }

    AssociationService& service_;
    ByteStream& stream_;
};

// Sizes of what the encoder writes, so that group length elements and item
// headers carry the exact byte counts that follow them. (A data set's own
// running counts assume 8-byte headers everywhere; explicit VR long forms
// take 12 bytes, and so does an item header at the top of an explicit VR
// stream.)
using codec::evenLength;

uint16_t vrToWrite(const DataElement* element) {
    // A value too long for the 16-bit length field goes out in the long form
    // as UN rather than with a cut length.
    if (!usesLongForm(element->vr) && evenLength(element->length) > 0xFFFF) return vrCode('U', 'N');
    return element->vr;
}

// Every group gets its group length element, in items too; item contents
// are implicit VR.
class BaseSizes : public codec::EncodedSizes {
public:
    uint64_t elementSize(const DataElement* element, bool explicitVr, int depth) const override {
        uint64_t size = (explicitVr && usesLongForm(vrToWrite(element)) ? 12u : 8u) + evenLength(element->length);
        if (element->items != nullptr && depth < maximumNesting) {
            for (uint32_t index = 0; index < element->items->count(); ++index) {
                size += (explicitVr ? 12u : 8u) + contentsSize(element->items->at(index)->element, false, depth + 1);
            }
        }
        return size;
    }
    bool writesGroupLength(const ElementGroup*) const override { return true; }
};

class Encoder {
public:
    explicit Encoder(ByteStream& stream) : stream_(stream) {}

    // Drains source onto the stream. syntaxCode is set only for a write that
    // follows (0002,0010): that element is held until the first element
    // after the meta group or the first item header, whichever comes first,
    // and then decides the encoding, as it does for a reader.
    int writeElements(DataSet* source, bool explicitVr, int32_t* syntaxCode, int depth) {
        if (source == nullptr) return 0;
        // Items that arrived before any element belong to none, and the
        // encoding has no place for them: the write fails rather than lose them.
        if (source->looseItems != nullptr && source->looseItems->count() != 0) return 0;
        DataElement* held = nullptr;
        while (DataElement* element = source->nextElement()) {
            if (held != nullptr && element->group > 0x0002) {
                const int switched = followSyntax(held, element->group, explicitVr, syntaxCode);
                delete held;
                held = nullptr;
                if (switched == 0) {
                    delete element;
                    return 0;
                }
            }
            int written = element->element == 0x0000
                              ? codec::writeGroupLength(stream_, element->group,
                                                        sizes_.remainingGroupSize(source, explicitVr, depth), explicitVr)
                              : writeElement(element, explicitVr);
            if (written == 1 && syntaxCode != nullptr && element->sameTag(0x0002, 0x0010)) {
                delete held;
                held = element;
            }
            if (written == 1 && element->items != nullptr && element->items->count() != 0) {
                // An item header can be the first thing after the meta group
                // too: a reader switches on its group FFFE before reading it.
                if (held != nullptr) {
                    written = followSyntax(held, itemGroup, explicitVr, syntaxCode);
                    if (held != element) delete held;
                    held = nullptr;
                }
                if (written == 1) written = writeItems(element, explicitVr, depth);
            }
            if (element != held) delete element;
            if (written == 0) {
                delete held;
                return 0;
            }
        }
        delete held;
        return 1;
    }

private:
    // The held Transfer Syntax UID element decides the encoding from the
    // element of the given group on.
    int followSyntax(const DataElement* held, uint16_t group, bool& explicitVr, int32_t* syntaxCode) {
        const int32_t named = syntaxNamedBy(held);
        if (named == 0) return 0;
        if (named == *syntaxCode) return 1;
        if (byteOrderOf(named) != byteOrderOf(*syntaxCode)) {
            // A reader decides on the group number as the old byte order
            // gives it: written in the new order, groups 0100 and 0200 look
            // like 0001 and 0002 and do not make it switch; in the old order
            // it switches and reads them as 0001 and 0002.
            if (swapBytes16(group) <= 0x0002) return 0;
            stream_.setWriteOrder(byteOrderOf(named));
        }
        *syntaxCode = named;
        explicitVr = isExplicitVr(named);
        return 1;
    }

    int writeElement(DataElement* element, bool explicitVr) {
        // Nothing to write from: an undefined length, or a length without a value.
        if (element->length == undefinedLength || (element->length != 0 && element->value == nullptr)) return 0;
        codec::writeElementHeader(stream_, element->group, element->element, vrToWrite(element),
                                  evenLength(element->length), explicitVr);
        return codec::writePlainValue(stream_, element);
    }

    // The items of an element, right after it.
    int writeItems(DataElement* element, bool explicitVr, int depth) {
        if (depth >= maximumNesting) return 0;
        for (uint32_t index = 0; index < element->items->count(); ++index) {
            if (writeItem(element->items->at(index)->element, explicitVr, depth) == 0) return 0;
        }
        return 1;
    }

    // An item header carrying the exact size of the contents, then the
    // item's contents as implicit VR. An item without elements has no
    // encoding: one of length 0 reads back as no item at all.
    int writeItem(DataSet* item, bool explicitVr, int depth) {
        const uint64_t size = item->draining == 0 ? sizes_.contentsSize(item, false, depth + 1) : 0;
        if (size == 0 || size > 0xFFFFFFFEu || item->draining != 0) return 0;
        stream_.writeU16(itemGroup).writeU16(itemElement);
        if (explicitVr) stream_.writeU8('S').writeU8('Q').writeU16(0);
        stream_.writeU32(static_cast<uint32_t>(size));
        return writeElements(item, false, nullptr, depth + 1);
    }

    ByteStream& stream_;
    BaseSizes sizes_;
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
