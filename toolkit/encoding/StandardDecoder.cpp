// The decoder of StandardEncodingService: DICOM's standard encodings of
// sequences (defined and undefined lengths, delimitation items, explicit VR
// items), encapsulated pixel data, and the switch from the meta group's
// encoding to the data set's (deflated data inflated whole first), for data
// written by other programs and peers.
//
// The input is untrusted and buffered whole: every length is checked against
// what is buffered and against the item or sequence around it before
// anything is allocated or read, nesting is bounded, and every failure says
// which element and where.

#include <new>

#include "Deflate.h"
#include "StandardCodecs.h"

namespace codec {

namespace {

// The switch from the meta group's encoding to the data set's.
struct SyntaxSwitch {
    int32_t* code = nullptr;                // the encoding in use, changed at the switch
    const DataElement* named = nullptr;     // (0002,0010), once read
    bool metaRead = false;
    bool done = false;
};

struct Header {
    uint16_t group = 0;
    uint16_t element = 0;
    uint16_t vr = 0;
    uint32_t length = 0;
    uint32_t offset = 0;
};

class StandardDecoder {
public:
    StandardDecoder(StandardEncodingService& service, ByteStream& stream)
        : service_(service), stream_(&stream), start_(stream.availableCount()) {}
    ~StandardDecoder() { delete inflated_; }
    StandardDecoder(const StandardDecoder&) = delete;
    StandardDecoder& operator=(const StandardDecoder&) = delete;

    // A whole data set; syntaxCode is set for a read that follows the meta
    // group's Transfer Syntax UID.
    int read(DataSet* target, bool explicitVr, int32_t* syntaxCode) {
        service_.lastProblem = DecodeProblem();
        if (target == nullptr) return 0;
        if (syntaxCode != nullptr && useCode(*syntaxCode, explicitVr) == 0) return 0;
        bool sequenceEnded = false;
        if (syntaxCode == nullptr) return readElements(target, explicitVr, 0, 0, false, sequenceEnded, nullptr);
        SyntaxSwitch syntax;
        syntax.code = syntaxCode;
        return readElements(target, explicitVr, 0, 0, false, sequenceEnded, &syntax);
    }

private:
    uint32_t available() const { return stream_->availableCount(); }
    uint32_t position() const { return start_ - available(); }

    int fail(const char* reason, uint16_t group, uint16_t element, uint32_t offset) {
        service_.lastProblem.reason = reason;
        service_.lastProblem.group = group;
        service_.lastProblem.element = element;
        service_.lastProblem.offset = offset;
        return 0;
    }
    int fail(const char* reason, const Header& header) {
        return fail(reason, header.group, header.element, header.offset);
    }

    // Makes code the encoding from here on; deflated data are inflated whole
    // and read from memory.
    int useCode(int32_t code, bool& explicitVr) {
        if (code < ImplicitLittleEndian || code > DeflatedLittleEndian) {
            return fail("unknown encoding code", 0, 0, position());
        }
        if (code == DeflatedLittleEndian) {
            if (!deflateSupported()) {
                return fail("deflated transfer syntax not supported by this build", 0, 0, position());
            }
            auto* inflated = new (std::nothrow) MemoryStream();
            if (inflated == nullptr) return fail("no memory for the inflated data", 0, 0, position());
            const uint32_t at = position();
            if (inflateInput(*stream_, *inflated, StandardEncodingService::maximumInflatedSize) == 0 ||
                inflated->outputToInput() == 0) {
                delete inflated;
                return fail("deflated data cannot be inflated", 0, 0, at);
            }
            delete inflated_;
            inflated_ = inflated;
            stream_ = inflated_;
            start_ = available();
        }
        stream_->setReadOrder(standardByteOrderOf(code));
        explicitVr = standardIsExplicitVr(code);
        return 1;
    }

    // At the first element after the meta group (the first of another
    // group): the encoding its Transfer Syntax UID names or, when it names
    // none, the one the first element shows. Data in implicit VR where the
    // UID names explicit VR little endian, a known fault of some writers, are
    // read as implicit VR. 1 to go on, 0 on failure.
    int switchSyntax(SyntaxSwitch& syntax, bool& explicitVr) {
        uint8_t first[6] = {};
        if (InputScan(*stream_).take(first, 2) == 0) return 1;
        const uint16_t group = number16(first, stream_->readOrder);
        const int32_t named = syntax.named != nullptr ? syntaxNamedBy(syntax.named) : 0;
        // Compressed data have no group number to go by: the meta group
        // ends where its group length says, or where group 0002 does.
        const bool ended = (named == DeflatedLittleEndian && metaGroupEnd_ != 0 && available() == metaGroupEnd_) ||
                           group != 0x0002;
        if (!ended) return 1;
        syntax.done = true;
        if (syntax.named != nullptr && named == 0) {
            return fail("transfer syntax not supported", 0x0002, 0x0010, position());
        }
        int32_t code = named;
        if (named == 0 || (named != DeflatedLittleEndian && standardByteOrderOf(named) == ByteStream::littleEndian &&
                           standardIsExplicitVr(named))) {
            const bool shown = InputScan(*stream_).take(first, 6) != 0;
            const bool letters = first[4] >= 'A' && first[4] <= 'Z' && first[5] >= 'A' && first[5] <= 'Z';
            if (shown && !letters) {
                code = ImplicitLittleEndian;
            } else if (named == 0) {
                code = ExplicitLittleEndian;
            }
        }
        *syntax.code = code;
        return useCode(code, explicitVr);
    }

    // Reads one header in the current encoding, within limit (the count of
    // available bytes where the enclosing item or sequence ends).
    int readHeader(bool explicitVr, uint32_t limit, Header& header) {
        header.offset = position();
        if (available() - limit < 8) return fail("input ends inside an element header", 0, 0, header.offset);
        uint8_t bytes[8];
        stream_->readBytes(bytes, 8);
        const int32_t order = stream_->readOrder;
        header.group = number16(bytes, order);
        header.element = number16(bytes + 2, order);
        if (!explicitVr) {
            header.length = number32(bytes + 4, order);
            return 1;
        }
        if (header.group == itemGroup) {
            // Items and delimiters carry no VR, except the items of the
            // toolkit's own encoding, written with the letters SQ.
            if (header.element == itemElement && bytes[4] == 'S' && bytes[5] == 'Q' && bytes[6] == 0 &&
                bytes[7] == 0) {
                if (available() - limit < 4) return fail("input ends inside an item header", header);
                uint8_t length[4];
                stream_->readBytes(length, 4);
                header.vr = sequenceVr;
                header.length = number32(length, order);
            } else {
                header.length = number32(bytes + 4, order);
            }
            return 1;
        }
        const uint8_t first = bytes[4], second = bytes[5];
        const bool letters = first >= 'A' && first <= 'Z' && second >= 'A' && second <= 'Z';
        // Two zero bytes: an element whose VR was never known, as the base
        // service writes it.
        if (!letters && (first != 0 || second != 0)) return fail("not an explicit VR element header", header);
        header.vr = static_cast<uint16_t>(first << 8 | second);
        if (usesLongForm(header.vr)) {
            if (available() - limit < 4) return fail("input ends inside an element header", header);
            uint8_t length[4];
            stream_->readBytes(length, 4);
            header.length = number32(length, order);
        } else {
            header.length = number16(bytes + 6, order);
        }
        return 1;
    }

    // Reads elements into target until limit is reached or, in an item of
    // undefined length, its delimitation (a sequence delimitation in its
    // place ends the sequence too, through sequenceEnded).
    int readElements(DataSet* target, bool explicitVr, uint32_t limit, int depth, bool undefinedItem,
                     bool& sequenceEnded, SyntaxSwitch* syntax) {
        while (available() > limit) {
            if (syntax != nullptr && !syntax->done && (syntax->named != nullptr || syntax->metaRead) &&
                switchSyntax(*syntax, explicitVr) == 0) {
                return 0;
            }
            Header header;
            if (readHeader(explicitVr, limit, header) == 0) return 0;
            if (header.group == itemGroup) {
                if (header.element == itemEndElement) {
                    if (undefinedItem) return 1;
                    continue;  // a stray delimitation ends nothing
                }
                if (header.element == sequenceEndElement) {
                    if (undefinedItem) {
                        sequenceEnded = true;
                        return 1;
                    }
                    continue;
                }
                if (header.element != itemElement) return fail("unknown item tag", header);
                if (readLooseItem(target, header, limit, depth) == 0) return 0;
                continue;
            }
            const bool sequence = explicitVr ? header.vr == sequenceVr ||
                                                   (header.vr == unknownVr && header.length == undefinedLength)
                                             : header.length == undefinedLength && !isPixelData(header);
            int result;
            if (sequence) {
                result = readSequence(target, header, explicitVr, limit, depth);
            } else if (header.length == undefinedLength) {
                result = readEncapsulated(target, header, limit);
            } else {
                result = readValue(target, header, explicitVr, limit, depth);
            }
            if (result == 0) return 0;
            if (syntax != nullptr && !syntax->done && header.group == 0x0002) {
                syntax->metaRead = true;
                if (header.element == 0x0010) {
                    // Two Transfer Syntax UIDs name two encodings for the
                    // rest: which one holds cannot be told.
                    if (syntax->named != nullptr) return fail("transfer syntax given twice", header);
                    syntax->named = target->find(0x0002, 0x0010);
                }
            }
        }
        if (undefinedItem) {
            return fail(limit == 0 ? "input ends inside an item of undefined length"
                                   : "item of undefined length not delimited within its sequence",
                        itemGroup, itemElement, position());
        }
        return 1;
    }

    static bool isPixelData(const Header& header) { return header.group == 0x7FE0 && header.element == 0x0010; }

    DataElement* makeElement(const Header& header, uint32_t length, uint8_t* value) {
        return newElement(header.group, header.element, header.vr, length, value);
    }

    int add(DataSet* target, DataElement* element, const Header& header) {
        if (element == nullptr) return fail("no memory for an element", header);
        if (target->addElement(element) == 0) {
            delete element;
            return fail("no memory for an element", header);
        }
        return 1;
    }

    int readValue(DataSet* target, const Header& header, bool explicitVr, uint32_t limit, int depth) {
        if (header.length > available() - limit) {
            return fail(limit == 0 ? "value runs past the end of the input" : "value runs past the end of its item",
                        header);
        }
        uint8_t* value = nullptr;
        if (header.length != 0) {
            value = new (std::nothrow) uint8_t[header.length];
            if (value == nullptr) return fail("no memory for a value", header);
            stream_->readBytes(value, header.length);
        }
        if (header.group == 0x0002 && header.element == 0x0000 && header.length == 4) {
            metaGroupEnd_ = available() >= number32(value, ByteStream::littleEndian)
                                ? available() - number32(value, ByteStream::littleEndian)
                                : 0;
        }
        // Implicit VR does not say which elements are sequences: a value
        // that is a complete run of items is read as one.
        if (!explicitVr && header.length >= 8 && header.element != 0x0000 &&
            number16(value, stream_->readOrder) == itemGroup && number16(value + 2, stream_->readOrder) == itemElement) {
            IndexedList<DataSet*>* items = itemsFromValue(value, header, depth);
            if (items != nullptr) {
                delete[] value;
                DataElement* element = makeElement(header, 0, nullptr);
                int result = add(target, element, header);
                while (items->count() != 0) {
                    DataSet* item = items->at(0)->element;
                    items->removeAt(0);
                    if (result == 1 && target->addItem(item) == 0) result = fail("no memory for an item", header);
                    if (result == 0) delete item;
                }
                delete items;
                return result;
            }
        }
        return add(target, makeElement(header, header.length, value), header);
    }

    // The items of a value that parses as a sequence in implicit VR whole,
    // or null (the value then stays as it is).
    IndexedList<DataSet*>* itemsFromValue(const uint8_t* value, const Header& header, int depth) {
        MemoryStream input;
        input.setReadOrder(stream_->readOrder);
        if (input.appendInput(value, header.length) == 0) return nullptr;
        const DecodeProblem problem = service_.lastProblem;
        ByteStream* const outer = stream_;
        const uint32_t outerStart = start_;
        stream_ = &input;
        start_ = input.availableCount();
        DataSet holder;
        DataElement* placeholder = makeElement(header, 0, nullptr);
        IndexedList<DataSet*>* items = nullptr;
        if (placeholder != nullptr && holder.addElement(placeholder) != 0) {
            Header whole = header;
            whole.vr = 0;
            if (readItems(&holder, whole, header.length, false, 0, depth) == 1 && placeholder->items != nullptr) {
                items = placeholder->items;
                placeholder->items = nullptr;
            }
        } else {
            delete placeholder;
        }
        stream_ = outer;
        start_ = outerStart;
        service_.lastProblem = problem;
        return items;
    }

    int readSequence(DataSet* target, const Header& header, bool explicitVr, uint32_t limit, int depth) {
        if (header.element == 0x0000) return fail("a group length cannot be a sequence", header);
        const bool undefined = header.length == undefinedLength;
        // A private sequence in implicit VR is a sequence to a reader only
        // through its undefined length: it keeps it whatever the setting.
        const bool keep = service_.keepUndefinedLengths != 0 || (!explicitVr && (header.group & 1u) != 0);
        DataElement* element = makeElement(header, undefined && keep ? undefinedLength : 0, nullptr);
        if (add(target, element, header) == 0) return 0;
        if (header.vr != unknownVr) return readItems(target, header, header.length, explicitVr, limit, depth);
        // A UN element of undefined length holds a sequence in implicit VR
        // little endian, whatever the encoding around it.
        const int32_t order = stream_->readOrder;
        stream_->setReadOrder(ByteStream::littleEndian);
        const int result = readItems(target, header, header.length, false, limit, depth);
        stream_->setReadOrder(order);
        return result;
    }

    // The items of the sequence just added to owner, up to its sequence
    // delimitation or the end of its defined length.
    int readItems(DataSet* owner, const Header& sequence, uint32_t length, bool explicitVr, uint32_t limit, int depth) {
        const bool undefined = length == undefinedLength;
        if (!undefined && length > available() - limit) {
            return fail(limit == 0 ? "sequence runs past the end of the input"
                                   : "sequence runs past the end of its item",
                        sequence);
        }
        const uint32_t end = undefined ? limit : available() - length;
        for (;;) {
            if (!undefined && available() == end) return 1;
            Header item;
            item.offset = position();
            if (available() - end < 8) {
                if (undefined) return fail("sequence of undefined length not delimited", sequence);
                return fail("input ends inside an item header", sequence.group, sequence.element, item.offset);
            }
            uint8_t bytes[8];
            stream_->readBytes(bytes, 8);
            item.group = number16(bytes, stream_->readOrder);
            item.element = number16(bytes + 2, stream_->readOrder);
            item.length = number32(bytes + 4, stream_->readOrder);
            if (item.group != itemGroup) return fail("sequence holds an element outside an item", item);
            if (item.element == sequenceEndElement) {
                if (!undefined && available() != end) {
                    return fail("sequence delimitation inside a sequence of defined length", item);
                }
                return 1;
            }
            if (item.element == itemEndElement) continue;  // a stray delimitation between items
            if (item.element != itemElement) return fail("unknown item tag", item);
            bool sequenceEnded = false;
            if (readItem(owner, item, explicitVr, end, depth, sequenceEnded) == 0) return 0;
            if (sequenceEnded) {
                if (!undefined) return fail("sequence delimitation inside a sequence of defined length", item);
                return 1;
            }
        }
    }

    int readItem(DataSet* owner, const Header& header, bool explicitVr, uint32_t end, int depth, bool& sequenceEnded) {
        if (depth + 1 > StandardEncodingService::maximumNesting) return fail("items nested too deep", header);
        const bool undefined = header.length == undefinedLength;
        if (!undefined && header.length > available() - end) return fail("item runs past the end of its sequence", header);
        DataSet* item = newItem(undefined);
        if (item == nullptr) return fail("no memory for an item", header);
        bool ended = false;
        const int result = undefined ? readElements(item, explicitVr, end, depth + 1, true, sequenceEnded, nullptr)
                                     : readElements(item, explicitVr, available() - header.length, depth + 1, false,
                                                    ended, nullptr);
        return keepItem(owner, item, result, header);
    }

    // An item of the toolkit's own encoding: after the element it belongs
    // to, outside any sequence, its contents in implicit VR (in little
    // endian when its length is undefined), as the base service reads it.
    int readLooseItem(DataSet* target, const Header& header, uint32_t limit, int depth) {
        if (depth + 1 > StandardEncodingService::maximumNesting) return fail("items nested too deep", header);
        const bool undefined = header.length == undefinedLength;
        if (!undefined && header.length > available() - limit) {
            return fail(limit == 0 ? "item runs past the end of the input" : "item runs past the end of its item",
                        header);
        }
        DataSet* item = newItem(undefined);
        if (item == nullptr) return fail("no memory for an item", header);
        bool ended = false;
        int result;
        if (undefined) {
            const int32_t order = stream_->readOrder;
            stream_->setReadOrder(ByteStream::littleEndian);
            result = readElements(item, false, limit, depth + 1, true, ended, nullptr);
            stream_->setReadOrder(order);
        } else {
            result = readElements(item, false, available() - header.length, depth + 1, false, ended, nullptr);
        }
        return keepItem(target, item, result, header);
    }

    // An item read (result 1) goes to owner; one that failed is deleted.
    int keepItem(DataSet* owner, DataSet* item, int result, const Header& header) {
        if (result == 0) {
            delete item;
            return 0;
        }
        if (owner->addItem(item) == 0) {
            delete item;
            return fail("no memory for an item", header);
        }
        return 1;
    }

    // What an item of undefined length becomes, kept so when asked.
    DataSet* newItem(bool undefined) const {
        if (undefined && service_.keepUndefinedLengths != 0) return new (std::nothrow) UndefinedLengthItem();
        return new (std::nothrow) DataSet();
    }

    // Encapsulated pixel data: the basic offset table and the fragments are
    // kept as the exact bytes of their items, up to the sequence
    // delimitation.
    int readEncapsulated(DataSet* target, const Header& header, uint32_t limit) {
        InputScan scan(*stream_);
        const uint32_t room = available() - limit;
        for (;;) {
            uint8_t bytes[8];
            if (room - scan.scanned < 8 || scan.take(bytes, 8) == 0) {
                return fail("encapsulated value not delimited before the end of the input", header);
            }
            const uint16_t group = number16(bytes, stream_->readOrder);
            const uint16_t element = number16(bytes + 2, stream_->readOrder);
            const uint32_t length = number32(bytes + 4, stream_->readOrder);
            if (group != itemGroup || (element != itemElement && element != sequenceEndElement)) {
                return fail("encapsulated value holds something other than items", header);
            }
            if (element == sequenceEndElement) break;
            if (length == undefinedLength || length > room - scan.scanned) {
                return fail("fragment runs past the end of the input", header);
            }
            scan.take(nullptr, length);
        }
        const uint32_t length = scan.scanned - 8;
        uint8_t* value = nullptr;
        if (length != 0) {
            value = new (std::nothrow) uint8_t[length];
            if (value == nullptr) return fail("no memory for a value", header);
            stream_->readBytes(value, length);
        }
        uint8_t delimiter[8];
        stream_->readBytes(delimiter, 8);
        return add(target, makeElement(header, length, value), header);
    }

    StandardEncodingService& service_;
    ByteStream* stream_;
    uint32_t start_;
    MemoryStream* inflated_ = nullptr;
    // Where the meta group ends by its group length (0002,0000), in
    // available bytes; 0 when unknown.
    uint32_t metaGroupEnd_ = 0;
};

}  // namespace

int decodeStandard(StandardEncodingService& service, ByteStream& stream, DataSet* target, bool explicitVr,
                   int32_t* syntaxCode) {
    return StandardDecoder(service, stream).read(target, explicitVr, syntaxCode);
}

}  // namespace codec
