// The encoder of StandardEncodingService: sequences with exact defined
// lengths or with the undefined lengths and delimiters they came with, items
// in the encoding of their data set, encapsulated pixel data byte for byte,
// the switch to the encoding the meta group names (deflated data collected
// and compressed whole), with the sizes of what it writes beside it.

#include <new>

#include "Deflate.h"
#include "StandardCodecs.h"
#include "ValueOutput.h"

namespace codec {

namespace {

bool isSequence(const DataElement* element) {
    return element->items != nullptr || (element->length == undefinedLength && element->value == nullptr);
}

bool isUndefinedLengthItem(DataSet* item) { return dynamic_cast<UndefinedLengthItem*>(item) != nullptr; }

// A sequence goes out with an undefined length and a delimitation when it
// came so and is kept so (a private one read in implicit VR always is),
// always in explicit VR under UN, and in implicit VR when it is private and
// was read as a sequence from explicit VR (SQ, or UN of undefined length):
// there no reader's dictionary names it, and a defined length would make it
// plain bytes. One that came in implicit VR with a defined length was plain
// bytes to readers already and stays so.
bool writesUndefinedLength(const DataElement* element, bool explicitVr) {
    return element->length == undefinedLength || (explicitVr && element->vr == unknownVr) ||
           (!explicitVr && (element->group & 1u) != 0 && (element->vr == sequenceVr || element->vr == unknownVr));
}

// Whether value is a complete run of items (little endian): the form of
// encapsulated pixel data, basic offset table first.
bool isItemRun(const uint8_t* value, uint32_t length) {
    if (value == nullptr || length < 8) return false;
    uint32_t at = 0;
    while (at != length) {
        if (length - at < 8) return false;
        if (number16(value + at, ByteStream::littleEndian) != itemGroup ||
            number16(value + at + 2, ByteStream::littleEndian) != itemElement) {
            return false;
        }
        const uint32_t fragment = number32(value + at + 4, ByteStream::littleEndian);
        at += 8;
        if (fragment > length - at) return false;
        at += fragment;
    }
    return true;
}

uint16_t plainVrToWrite(const DataElement* element) {
    // An element whose VR was never known (read from implicit VR) goes out
    // as UN, and so does a value too long for the 16-bit length field of its
    // VR, rather than with a cut length.
    if (element->vr == 0) return unknownVr;
    if (!usesLongForm(element->vr) && evenLength(element->length) > 0xFFFF) return unknownVr;
    return element->vr;
}

// Sizes beside the writing: group lengths and defined item and sequence
// lengths carry the exact byte counts of what follows them.
class StandardEncoder : public EncodedSizes {
public:
    StandardEncoder(ByteStream& stream, bool encapsulated, int32_t groupLengths)
        : out_(&stream), target_(&stream), encapsulated_(encapsulated), groupLengths_(groupLengths) {}
    ~StandardEncoder() { delete deflating_; }
    StandardEncoder(const StandardEncoder&) = delete;
    StandardEncoder& operator=(const StandardEncoder&) = delete;

    // Drains source onto the stream; syntaxCode is set for a write whose
    // (0002,0010) decides the encoding after the meta group.
    int write(DataSet* source, bool explicitVr, int32_t* syntaxCode) {
        if (source == nullptr) return 0;
        if (syntaxCode != nullptr && useCode(*syntaxCode, explicitVr) == 0) return 0;
        const int written = writeElements(source, explicitVr, 0, syntaxCode);
        if (deflating_ == nullptr) return written;
        // Everything after the meta group was collected for compression.
        out_ = target_;
        return deflateOutput(*deflating_, *target_) == 1 ? written : 0;
    }

private:
    int useCode(int32_t code, bool& explicitVr) {
        if (code < ImplicitLittleEndian || code > DeflatedLittleEndian) return 0;
        if (code == DeflatedLittleEndian && deflating_ == nullptr) {
            if (!deflateSupported()) return 0;
            deflating_ = new (std::nothrow) MemoryStream();
            if (deflating_ == nullptr) return 0;
            out_ = deflating_;
        }
        out_->setWriteOrder(standardByteOrderOf(code));
        explicitVr = standardIsExplicitVr(code);
        encapsulated_ = code == EncapsulatedLittleEndian;
        return 1;
    }

    bool writesEncapsulated(const DataElement* element) const {
        return encapsulated_ && element->sameTag(0x7FE0, 0x0010) && isItemRun(element->value, element->length);
    }

    uint64_t elementSize(const DataElement* element, bool explicitVr, int depth) const override {
        if (isSequence(element)) {
            const uint64_t items = itemsSize(element, explicitVr, depth);
            return (explicitVr ? 12u : 8u) + items + (writesUndefinedLength(element, explicitVr) ? 8u : 0u);
        }
        if (writesEncapsulated(element)) return (explicitVr ? 12u : 8u) + uint64_t{element->length} + 8u;
        return (explicitVr && usesLongForm(plainVrToWrite(element)) ? 12u : 8u) + uint64_t{evenLength(element->length)};
    }

    uint64_t itemsSize(const DataElement* element, bool explicitVr, int depth) const {
        if (element->items == nullptr) return 0;
        if (depth + 1 > StandardEncodingService::maximumNesting) return impossibleSize;
        const bool contentsExplicit = explicitVr && element->vr != unknownVr;
        uint64_t size = 0;
        for (uint32_t index = 0; index < element->items->count(); ++index) {
            DataSet* item = element->items->at(index)->element;
            size += 8u + contentsSize(item, contentsExplicit, depth + 1) + (isUndefinedLengthItem(item) ? 8u : 0u);
            if (size >= impossibleSize) return impossibleSize;
        }
        return size;
    }

    bool writesGroupLength(const ElementGroup* group) const override {
        return writesGroupLength(group->groupNumber, group->hadGroupLength != 0);
    }

    // The command and meta groups always have their group length; other
    // groups as the policy says, by default where the data set had one.
    bool writesGroupLength(uint16_t group, bool arrived) const {
        if (group == 0x0000 || group == 0x0002) return true;
        if (groupLengths_ == StandardEncodingService::addGroupLengths) return true;
        if (groupLengths_ == StandardEncodingService::removeGroupLengths) return false;
        return arrived;
    }

    int writeElements(DataSet* source, bool explicitVr, int depth, int32_t* syntaxCode) {
        // Items that came before any element belong to no element: written
        // nowhere, they would be lost without a word.
        if (source->looseItems != nullptr && source->looseItems->count() != 0) return 0;
        DataElement* held = nullptr;
        // Groups below the meta group (0000, 0001) come after it: a file
        // starts with its meta group.
        DataSet deferred;
        bool deferredWritten = syntaxCode == nullptr;
        while (DataElement* element = source->nextElement()) {
            if (!deferredWritten && element->group < 0x0002) {
                if (deferred.addElement(element) == 0) {
                    delete element;
                    delete held;
                    return 0;
                }
                continue;
            }
            if (element->group > 0x0002 &&
                finishMetaGroup(held, deferred, deferredWritten, explicitVr, depth, syntaxCode, element->group) == 0) {
                delete element;
                return 0;
            }
            if (element->element == 0x0000 &&
                !writesGroupLength(element->group, element->computedGroupLength == 0)) {
                delete element;
                continue;
            }
            const int written = element->element == 0x0000
                                    ? writeGroupLength(*out_, element->group,
                                                       remainingGroupSize(source, explicitVr, depth), explicitVr)
                                    : writeElement(element, explicitVr, depth);
            if (written == 0) {
                delete element;
                delete held;
                return 0;
            }
            if (syntaxCode != nullptr && element->group == 0x0002) metaWritten_ = true;
            if (syntaxCode != nullptr && element->sameTag(0x0002, 0x0010)) {
                // A second Transfer Syntax UID would leave the reader to
                // pick one of two encodings for what follows.
                if (held != nullptr) {
                    delete held;
                    delete element;
                    return 0;
                }
                held = element;
            } else {
                delete element;
            }
        }
        // Nothing after the meta group: no encoding to switch to.
        if (deferred.fillList.count() == 0) {
            delete held;
            return 1;
        }
        return finishMetaGroup(held, deferred, deferredWritten, explicitVr, depth, syntaxCode, 0x0000);
    }

    // After the meta group: the encoding that the held Transfer Syntax UID
    // names, then the elements of groups below the meta group.
    // nextGroup: the group of the element that follows the meta group, when
    // no element of groups 0000 and 0001 comes first.
    int finishMetaGroup(DataElement*& held, DataSet& deferred, bool& deferredWritten, bool& explicitVr, int depth,
                        int32_t* syntaxCode, uint16_t nextGroup) {
        if (held != nullptr) {
            const int32_t named = syntaxNamedBy(held);
            delete held;
            held = nullptr;
            const int32_t metaOrder = out_->writeOrder;
            if (named == 0 || useCode(named, explicitVr) == 0) return 0;
            // A reader takes the first group after the meta group in the
            // meta group's byte order to see that the group has ended:
            // group 0200 in the other order reads as 0002, and what follows
            // would be read as more of the meta group.
            const bool deferredFirst = !deferredWritten && deferred.fillList.count() != 0;
            if (out_->writeOrder != metaOrder && !deferredFirst && nextGroup == 0x0200) return 0;
            *syntaxCode = named;
        } else if (metaWritten_ && !switchDecided_ && out_->writeOrder != ByteStream::littleEndian) {
            // A reader recognises the encoding of what follows a meta group
            // without a Transfer Syntax UID from its first element, as in a
            // bare data set, and takes big-endian group numbers for little
            // endian: such a write could not be read back.
            return 0;
        }
        switchDecided_ = true;
        if (deferredWritten) return 1;
        deferredWritten = true;
        return writeElements(&deferred, explicitVr, depth, nullptr);
    }

    void writeLongHeader(const DataElement* element, uint16_t vr, uint32_t length, bool explicitVr) {
        writeElementHeader(*out_, element->group, element->element, vr, length, explicitVr);
    }

    int writeElement(DataElement* element, bool explicitVr, int depth) {
        if (isSequence(element)) return writeSequence(element, explicitVr, depth);
        const uint32_t length = element->length;
        // Nothing to write from: an undefined length, or a length without a value.
        if (length == undefinedLength || (length != 0 && element->value == nullptr)) return 0;
        if (writesEncapsulated(element)) {
            const uint16_t vr = element->vr == vrCode('O', 'W') ? element->vr : vrCode('O', 'B');
            writeLongHeader(element, vr, undefinedLength, explicitVr);
            if (writeElementValue(*out_, element, length) == 0) return 0;
            writeTag(*out_, itemGroup, sequenceEndElement);
            out_->writeU32(0);
            return 1;
        }
        writeElementHeader(*out_, element->group, element->element, plainVrToWrite(element), evenLength(length),
                           explicitVr);
        return writePlainValue(*out_, element);
    }

    // A sequence: its items in the encoding of the data set (implicit VR
    // little endian inside UN), with exact lengths, or undefined lengths and
    // delimiters where the data carry them.
    int writeSequence(DataElement* element, bool explicitVr, int depth) {
        // A value beside the items has no place in the standard encoding.
        if (element->value != nullptr && element->length != 0 && element->length != undefinedLength) return 0;
        if (depth + 1 > StandardEncodingService::maximumNesting && element->items != nullptr) return 0;
        const bool undefined = writesUndefinedLength(element, explicitVr);
        const bool unknown = explicitVr && element->vr == unknownVr;
        const uint64_t size = undefined ? 0 : itemsSize(element, explicitVr, depth);
        if (size >= undefinedLength) return 0;
        writeLongHeader(element, unknown ? unknownVr : sequenceVr, undefined ? undefinedLength : static_cast<uint32_t>(size),
                        explicitVr);
        const int32_t order = out_->writeOrder;
        if (unknown) out_->setWriteOrder(ByteStream::littleEndian);
        int result = 1;
        if (element->items != nullptr) {
            for (uint32_t index = 0; result == 1 && index < element->items->count(); ++index) {
                result = writeItem(element->items->at(index)->element, explicitVr && !unknown, depth);
            }
        }
        // The delimitation belongs to the value: inside UN it is little endian too.
        if (result == 1 && undefined) {
            writeTag(*out_, itemGroup, sequenceEndElement);
            out_->writeU32(0);
        }
        out_->setWriteOrder(order);
        return result;
    }

    int writeItem(DataSet* item, bool explicitVr, int depth) {
        if (item->draining != 0) return 0;
        const bool undefined = isUndefinedLengthItem(item);
        const uint64_t size = undefined ? 0 : contentsSize(item, explicitVr, depth + 1);
        if (size >= undefinedLength) return 0;
        writeTag(*out_, itemGroup, itemElement);
        out_->writeU32(undefined ? undefinedLength : static_cast<uint32_t>(size));
        if (writeElements(item, explicitVr, depth + 1, nullptr) == 0) return 0;
        if (undefined) {
            writeTag(*out_, itemGroup, itemEndElement);
            out_->writeU32(0);
        }
        return 1;
    }

    ByteStream* out_;
    ByteStream* target_;
    bool encapsulated_;
    int32_t groupLengths_;
    // An element of the meta group has been written; the encoding after it
    // has been decided.
    bool metaWritten_ = false;
    bool switchDecided_ = false;
    MemoryStream* deflating_ = nullptr;
};

}  // namespace

int encodeStandard(ByteStream& stream, bool encapsulated, int32_t groupLengths, DataSet* source, bool explicitVr,
                   int32_t* syntaxCode) {
    return StandardEncoder(stream, encapsulated, groupLengths).write(source, explicitVr, syntaxCode);
}

}  // namespace codec
