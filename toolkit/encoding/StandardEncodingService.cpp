// The codecs of StandardEncodingService: DICOM's standard encodings of
// sequences (defined and undefined lengths, delimitation items, explicit VR
// items), encapsulated pixel data and deflated data sets, for data written
// by other programs and peers.
//
// The input is untrusted and buffered whole: every length is checked against
// what is buffered and against the item or sequence around it before
// anything is allocated or read, nesting is bounded, and every failure says
// which element and where.

#include "StandardEncodingService.h"

#include <cstring>
#include <new>

#include "Deflate.h"
#include "ValueOutput.h"

UndefinedLengthItem::~UndefinedLengthItem() = default;

namespace {

constexpr uint16_t itemGroup = 0xFFFE;
constexpr uint16_t itemElement = 0xE000;
constexpr uint16_t itemEndElement = 0xE00D;
constexpr uint16_t sequenceEndElement = 0xE0DD;
constexpr uint32_t undefinedLength = 0xFFFFFFFFu;
constexpr uint16_t sequenceVr = vrCode('S', 'Q');
constexpr uint16_t unknownVr = vrCode('U', 'N');
// A size no item or element can have: marks nesting past the bound.
constexpr uint64_t impossibleSize = uint64_t{1} << 40;

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

uint16_t number16(const uint8_t* bytes, int32_t order) {
    return order == ByteStream::littleEndian ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                             : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t number32(const uint8_t* bytes, int32_t order) {
    const uint32_t first = number16(bytes, order), second = number16(bytes + 2, order);
    return order == ByteStream::littleEndian ? (first | second << 16) : (first << 16 | second);
}

// A stream over memory: reading serves what was made its input, writing
// collects output that can then become input.
class MemoryStream : public ByteStream {
public:
    int rawRead(uint8_t*, uint32_t) override { return -1; }
    int rawWrite(const uint8_t*, uint32_t) override { return 1; }

    // Moves the pending output behind the buffered input.
    int outputToInput() {
        while (outputChunks.count() != 0) {
            StreamChunk* chunk = outputChunks.at(0)->element;
            outputChunks.removeAt(0);
            // What was handed on already is consumed input.
            chunk->capacity = chunk->position;
            chunk->position = chunk->start;
            const uint32_t held = chunk->capacity - chunk->position;
            if (held == 0 || inputChunks.tryAppend(chunk) == 0) {
                const bool lost = held != 0;
                delete chunk;
                if (lost) {
                    discardOutput();
                    return 0;
                }
                continue;
            }
            available += held;
        }
        pending = 0;
        return 1;
    }

    int appendInput(const uint8_t* bytes, uint32_t count) {
        return (count == 0 || writeBytes(bytes, count) != 0) && outputToInput() != 0 ? 1 : 0;
    }
};

// Walks the buffered input of a stream without consuming it.
class InputScan {
public:
    explicit InputScan(ByteStream& stream) : stream_(stream) {
        if (stream.inputChunks.count() != 0) position_ = stream.inputChunks.at(0)->element->position;
    }

    // Copies the next n bytes (or passes over them when out is null); 0 when
    // they are not all buffered.
    int take(uint8_t* out, uint32_t n) {
        if (static_cast<uint64_t>(scanned) + n > stream_.availableCount()) return 0;
        while (n != 0) {
            if (index_ == stream_.inputChunks.count()) {
                // The rest is deferred input (a file read as it is reached).
                constexpr uint32_t least = 64u << 10, most = 4u << 20;
                if (stream_.bufferDeferred(n < least ? least : n > most ? most : n) == 0) return 0;
            }
            StreamChunk* chunk = stream_.inputChunks.at(index_)->element;
            const uint32_t room = chunk->capacity - position_;
            if (room == 0) {
                ++index_;
                position_ = 0;
                continue;
            }
            const uint32_t step = room < n ? room : n;
            if (out != nullptr) {
                std::memcpy(out, chunk->data + position_, step);
                out += step;
            }
            position_ += step;
            scanned += step;
            n -= step;
        }
        return 1;
    }

    uint32_t scanned = 0;

private:
    ByteStream& stream_;
    uint32_t index_ = 0;
    uint32_t position_ = 0;
};

// The code named by a Transfer Syntax UID element, or 0.
int32_t syntaxNamedBy(const DataElement* element) {
    char text[128] = {};
    if (element->value != nullptr) {
        std::memcpy(text, element->value, element->length < sizeof text - 1 ? element->length : sizeof text - 1);
    }
    return findStandardTransferSyntax(text);
}

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
        auto* element = new (std::nothrow) DataElement();
        if (element == nullptr) {
            delete[] value;
            return nullptr;
        }
        element->group = header.group;
        element->element = header.element;
        element->vr = header.vr;
        element->length = length;
        element->value = value;
        return element;
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
        DataElement* element =
            makeElement(header, undefined && service_.keepUndefinedLengths != 0 ? undefinedLength : 0, nullptr);
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
        DataSet* item = undefined && service_.keepUndefinedLengths != 0 ? new (std::nothrow) UndefinedLengthItem()
                                                                          : new (std::nothrow) DataSet();
        if (item == nullptr) return fail("no memory for an item", header);
        bool ended = false;
        const int result = undefined ? readElements(item, explicitVr, end, depth + 1, true, sequenceEnded, nullptr)
                                     : readElements(item, explicitVr, available() - header.length, depth + 1, false,
                                                    ended, nullptr);
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
        DataSet* item = undefined && service_.keepUndefinedLengths != 0 ? new (std::nothrow) UndefinedLengthItem()
                                                                          : new (std::nothrow) DataSet();
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
        if (result == 0) {
            delete item;
            return 0;
        }
        if (target->addItem(item) == 0) {
            delete item;
            return fail("no memory for an item", header);
        }
        return 1;
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

// Sizes of what the encoder writes, so that group lengths and defined item
// and sequence lengths carry the exact byte counts that follow them.
uint32_t evenLength(uint32_t length) { return length + (length & 1u); }

bool isSequence(const DataElement* element) {
    return element->items != nullptr || (element->length == undefinedLength && element->value == nullptr);
}

bool isUndefinedLengthItem(DataSet* item) { return dynamic_cast<UndefinedLengthItem*>(item) != nullptr; }

// A sequence goes out with an undefined length and a delimitation when it
// came so and is kept so, and always in explicit VR under UN: there a defined
// length would make it plain bytes to every reader.
bool writesUndefinedLength(const DataElement* element, bool explicitVr) {
    return element->length == undefinedLength || (explicitVr && element->vr == unknownVr);
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

class StandardEncoder {
public:
    StandardEncoder(ByteStream& stream, bool encapsulated) : out_(&stream), target_(&stream), encapsulated_(encapsulated) {}
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

    uint64_t elementSize(const DataElement* element, bool explicitVr, int depth) const {
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

    // A filling item's contents: each group with its group length element,
    // then its elements.
    uint64_t contentsSize(DataSet* item, bool explicitVr, int depth) const {
        uint64_t size = 0;
        for (uint32_t groupIndex = 0; groupIndex < item->fillList.count(); ++groupIndex) {
            ElementGroup* group = item->fillList.at(groupIndex)->element;
            size += 12;
            for (uint32_t index = 0; index < group->count(); ++index) {
                size += elementSize(group->at(index)->element, explicitVr, depth);
            }
            if (size >= impossibleSize) return impossibleSize;
        }
        return size;
    }

    // The bytes still to come of the group being drained from source.
    uint64_t remainingGroupSize(DataSet* source, bool explicitVr, int depth) const {
        uint64_t size = 0;
        ElementGroup* group = source->drainingGroup;
        if (group == nullptr) return 0;
        for (uint32_t index = 0; index < group->count(); ++index) {
            size += elementSize(group->at(index)->element, explicitVr, depth);
        }
        return size;
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
            const int written = element->element == 0x0000
                                    ? writeGroupLength(element, remainingGroupSize(source, explicitVr, depth), explicitVr)
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

    void writeTag(uint16_t group, uint16_t element) { out_->writeU16(group).writeU16(element); }

    // A group length element, as the data set hands it out before each
    // group: its value is the exact size of the group as written.
    int writeGroupLength(const DataElement* element, uint64_t groupSize, bool explicitVr) {
        if (groupSize > 0xFFFFFFFFu) return 0;
        writeTag(element->group, element->element);
        if (explicitVr) {
            out_->writeU8('U').writeU8('L').writeU16(4);
        } else {
            out_->writeU32(4);
        }
        out_->writeU32(static_cast<uint32_t>(groupSize));
        return 1;
    }

    void writeLongHeader(const DataElement* element, uint16_t vr, uint32_t length, bool explicitVr) {
        writeTag(element->group, element->element);
        if (explicitVr) out_->writeU8(static_cast<uint8_t>(vr >> 8)).writeU8(static_cast<uint8_t>(vr)).writeU16(0);
        out_->writeU32(length);
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
            writeTag(itemGroup, sequenceEndElement);
            out_->writeU32(0);
            return 1;
        }
        const bool padded = (length & 1u) != 0;
        const uint32_t written = evenLength(length);
        const uint16_t vr = plainVrToWrite(element);
        if (!explicitVr || usesLongForm(vr)) {
            writeLongHeader(element, vr, written, explicitVr);
        } else {
            writeTag(element->group, element->element);
            out_->writeU8(static_cast<uint8_t>(vr >> 8)).writeU8(static_cast<uint8_t>(vr));
            out_->writeU16(static_cast<uint16_t>(written));
        }
        if (length != 0 && writeElementValue(*out_, element, length) == 0) return 0;
        if (padded) out_->writeU8(0);
        return 1;
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
            writeTag(itemGroup, sequenceEndElement);
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
        writeTag(itemGroup, itemElement);
        out_->writeU32(undefined ? undefinedLength : static_cast<uint32_t>(size));
        if (writeElements(item, explicitVr, depth + 1, nullptr) == 0) return 0;
        if (undefined) {
            writeTag(itemGroup, itemEndElement);
            out_->writeU32(0);
        }
        return 1;
    }

    ByteStream* out_;
    ByteStream* target_;
    bool encapsulated_;
    // An element of the meta group has been written; the encoding after it
    // has been decided.
    bool metaWritten_ = false;
    bool switchDecided_ = false;
    MemoryStream* deflating_ = nullptr;
};

}  // namespace

int StandardEncodingService::readImplicit(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    return StandardDecoder(*this, *stream).read(target, false, nullptr);
}

int StandardEncodingService::writeImplicit(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    return StandardEncoder(*stream, encapsulatedPixelData != 0).write(source, false, nullptr);
}

int StandardEncodingService::readImplicitLittle(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    stream->setReadOrder(littleEndian);
    return readImplicit(stream, target);
}

int StandardEncodingService::writeImplicitLittle(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    stream->setWriteOrder(littleEndian);
    return writeImplicit(source, stream);
}

int StandardEncodingService::readExplicit(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    return StandardDecoder(*this, *stream).read(target, true, nullptr);
}

int StandardEncodingService::writeExplicit(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    return StandardEncoder(*stream, encapsulatedPixelData != 0).write(source, true, nullptr);
}

int StandardEncodingService::readExplicitLittle(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    stream->setReadOrder(littleEndian);
    return readExplicit(stream, target);
}

int StandardEncodingService::writeExplicitLittle(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    stream->setWriteOrder(littleEndian);
    return writeExplicit(source, stream);
}

int StandardEncodingService::readExplicitBig(ByteStream* stream, DataSet* target) {
    if (stream == nullptr) return 0;
    stream->setReadOrder(bigEndian);
    return readExplicit(stream, target);
}

int StandardEncodingService::writeExplicitBig(DataSet* source, ByteStream* stream) {
    if (stream == nullptr) return 0;
    stream->setWriteOrder(bigEndian);
    return writeExplicit(source, stream);
}

int StandardEncodingService::readWithSyntax(ByteStream* stream, DataSet* target, int32_t code) {
    if (stream == nullptr || target == nullptr) return 0;
    return StandardDecoder(*this, *stream).read(target, standardIsExplicitVr(code), &code);
}

int StandardEncodingService::writeWithSyntax(DataSet* source, ByteStream* stream, int32_t code) {
    if (stream == nullptr || source == nullptr) return 0;
    return StandardEncoder(*stream, false).write(source, standardIsExplicitVr(code), &code);
}

int StandardEncodingService::readWithCode(int32_t code, ByteStream* stream, DataSet* target) {
    switch (code) {
        case ImplicitLittleEndian:
            return readImplicitLittle(stream, target);
        case ExplicitLittleEndian:
        case EncapsulatedLittleEndian:
            return readExplicitLittle(stream, target);
        case ExplicitBigEndian:
            return readExplicitBig(stream, target);
        case DeflatedLittleEndian: {
            if (stream == nullptr || target == nullptr) return 0;
            lastProblem = DecodeProblem();
            MemoryStream inflated;
            if (!deflateSupported()) {
                lastProblem.reason = "deflated transfer syntax not supported by this build";
                return 0;
            }
            if (inflateInput(*stream, inflated, maximumInflatedSize) == 0 || inflated.outputToInput() == 0) {
                lastProblem.reason = "deflated data cannot be inflated";
                return 0;
            }
            return readExplicitLittle(&inflated, target);
        }
        default:
            return 0;
    }
}

int StandardEncodingService::writeWithCode(int32_t code, DataSet* source, ByteStream* stream) {
    switch (code) {
        case ImplicitLittleEndian:
            return writeImplicitLittle(source, stream);
        case ExplicitLittleEndian:
            return writeExplicitLittle(source, stream);
        case ExplicitBigEndian:
            return writeExplicitBig(source, stream);
        case EncapsulatedLittleEndian: {
            const int32_t setting = encapsulatedPixelData;
            encapsulatedPixelData = 1;
            const int result = writeExplicitLittle(source, stream);
            encapsulatedPixelData = setting;
            return result;
        }
        case DeflatedLittleEndian: {
            if (stream == nullptr || source == nullptr || !deflateSupported()) return 0;
            MemoryStream plain;
            if (writeExplicitLittle(source, &plain) == 0) return 0;
            return deflateOutput(plain, *stream);
        }
        default:
            return 0;
    }
}

namespace {

int addMetaElement(DataSet* set, uint16_t element, uint16_t vr, const void* bytes, uint32_t length) {
    if (set->find(0x0002, element) != nullptr) return 1;
    auto* made = new (std::nothrow) DataElement(0x0002, element, length, 1);
    if (made == nullptr || (length != 0 && made->value == nullptr)) {
        delete made;
        return 0;
    }
    if (length != 0) std::memcpy(made->value, bytes, length);
    made->vr = vr;
    if (set->addElement(made) == 0) {
        delete made;
        return 0;
    }
    return 1;
}

void addCopiedUid(DataSet* set, uint16_t fromElement, uint16_t toElement) {
    DataElement* source = set->find(0x0008, fromElement);
    if (source == nullptr) return;
    source->vr = vrCode('U', 'I');
    addMetaElement(set, toElement, vrCode('U', 'I'), source->value, source->value != nullptr ? source->length : 0);
}

}  // namespace

int StandardEncodingService::addMetaHeader(DataSet* set) {
    if (set == nullptr) return 0;
    static const char implicitUid[] = "1.2.840.10008.1.2";  // 17 characters and a NUL pad
    if (set->find(0x0002, 0x0001) != nullptr) {
        addMetaElement(set, 0x0010, vrCode('U', 'I'), implicitUid, sizeof implicitUid);
        return 1;
    }
    // The base service's meta group, without doubling what the set has: a
    // file from another writer may hold (0002,0010) without (0002,0001).
    const uint8_t version[2] = {0x00, 0x01};
    addMetaElement(set, 0x0001, vrCode('O', 'B'), version, 2);
    addCopiedUid(set, 0x0016, 0x0002);
    addCopiedUid(set, 0x0018, 0x0003);
    addMetaElement(set, 0x0010, vrCode('U', 'I'), implicitUid, sizeof implicitUid);
    addMetaElement(set, 0x0012, vrCode('U', 'I'), "none yet", 8);
    addMetaElement(set, 0x0013, vrCode('S', 'H'), "0.1AlphaTEVAR ", 14);
    addMetaElement(set, 0x0016, vrCode('A', 'E'), "none            ", 16);
    return 1;
}

int StandardEncodingService::handlesTransferSyntax(const char* uid) {
    const int32_t code = findStandardTransferSyntax(uid);
    if (code == 0 || (code == DeflatedLittleEndian && !deflateSupported())) return 0;
    return 1;
}

int StandardEncodingService::decodeMessage(uint8_t contextId, PdvBuffer& buffer, DataSet& set) {
    UidValue transferSyntax;
    if (!transferSyntaxOfContext(contextId, transferSyntax)) return 0;
    // Command sets travel in implicit VR little endian whatever the context
    // negotiated; only data sets take the context's transfer syntax.
    if (PDataPdu::isCommandMessage()) return readImplicitLittle(&buffer, &set);
    const int32_t code = findStandardTransferSyntax(transferSyntax.text());
    if (code == 0) return 0;
    return readWithCode(code, &buffer, &set);
}

int StandardEncodingService::encodeOnContext(uint8_t id, int32_t code, DataSet& set, PdvBuffer& buffer) {
    if ((controlFlags & commandBit) != 0) code = ImplicitLittleEndian;
    return writeWithCode(code, &set, &buffer) ? id : 0;
}

int StandardEncodingService::encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) {
    if (preferredTransferSyntax.size() != 0 && handlesTransferSyntax(preferredTransferSyntax.text())) {
        const uint8_t id = contextForSyntaxes(abstractSyntax, preferredTransferSyntax);
        if (id != 0) return encodeOnContext(id, findStandardTransferSyntax(preferredTransferSyntax.text()), set, buffer);
    }
    for (const TransferSyntaxRow* row = standardTransferSyntaxTable; row->uid != nullptr; ++row) {
        if (!handlesTransferSyntax(row->uid)) continue;
        const uint8_t id = contextForSyntaxes(abstractSyntax, UidValue(row->uid));
        if (id != 0) return encodeOnContext(id, row->code, set, buffer);
    }
    return 0;
}

int StandardEncodingService::encodeOnFirstContext(DataSet& set, PdvBuffer& buffer) {
    if (preferredTransferSyntax.size() != 0 && handlesTransferSyntax(preferredTransferSyntax.text())) {
        const uint8_t id = contextForTransferSyntax(preferredTransferSyntax);
        if (id != 0) return encodeOnContext(id, findStandardTransferSyntax(preferredTransferSyntax.text()), set, buffer);
    }
    for (const TransferSyntaxRow* row = standardTransferSyntaxTable; row->uid != nullptr; ++row) {
        if (!handlesTransferSyntax(row->uid)) continue;
        const uint8_t id = contextForTransferSyntax(UidValue(row->uid));
        if (id != 0) return encodeOnContext(id, row->code, set, buffer);
    }
    return 0;
}
