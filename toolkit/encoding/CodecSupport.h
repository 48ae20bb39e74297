#ifndef DICOMTOOLKIT_ENCODING_CODECSUPPORT_H
#define DICOMTOOLKIT_ENCODING_CODECSUPPORT_H

// What the base service's codecs (Codecs.cpp) and StandardEncodingService's
// share: the layout of element and item headers, the numbers in them, the
// group length element, and the walk that sizes a data set before it is
// written. Internal to the toolkit: not installed as a public header.

#include <cstdint>

#include "../model/DataSet.h"
#include "../stream/ByteStream.h"

namespace codec {

constexpr uint16_t itemGroup = 0xFFFE;
constexpr uint16_t itemElement = 0xE000;
constexpr uint16_t itemEndElement = 0xE00D;
constexpr uint16_t sequenceEndElement = 0xE0DD;
constexpr uint32_t undefinedLength = 0xFFFFFFFFu;
constexpr uint16_t sequenceVr = vrCode('S', 'Q');
constexpr uint16_t unknownVr = vrCode('U', 'N');
// A size no item or element can have: marks nesting past the bound.
constexpr uint64_t impossibleSize = uint64_t{1} << 40;
// A group length element: tag, length (or VR and short length) and 4 bytes.
constexpr uint32_t groupLengthSize = 12;

// VRs whose explicit header has a reserved field and a 32-bit length.
bool usesLongForm(uint16_t vr);

// Values are written with a pad byte up to an even length.
inline uint32_t evenLength(uint32_t length) { return length + (length & 1u); }

// Numbers in bytes of the given order (ByteStream::littleEndian or bigEndian).
uint16_t number16(const uint8_t* bytes, int32_t order);
uint32_t number32(const uint8_t* bytes, int32_t order);

// A new element with the tag and VR given, owning value (allocated with
// new[]); null when memory ran out, value then released.
DataElement* newElement(uint16_t group, uint16_t element, uint16_t vr, uint32_t length, uint8_t* value);

void writeTag(ByteStream& stream, uint16_t group, uint16_t element);
// A group length element (gggg,0000) whose value is groupSize, the exact
// byte count of the rest of its group as written; 0 when that does not fit
// in 32 bits.
int writeGroupLength(ByteStream& stream, uint16_t group, uint64_t groupSize, bool explicitVr);
// An element header: in explicit VR with the VR's short or long form, in
// implicit VR with a 32-bit length.
void writeElementHeader(ByteStream& stream, uint16_t group, uint16_t element, uint16_t vr, uint32_t length,
                        bool explicitVr);
// The value of a plain element and its pad byte; 0 when there is nothing
// to write from (an undefined length, or a length without a value).
int writePlainValue(ByteStream& stream, DataElement* element);

// The sizes a writer gives its group lengths and defined item and sequence
// lengths: the exact byte counts of what it writes. A writer says how big
// one element is and which groups get a group length element; the walks
// over groups are the same for every writer.
class EncodedSizes {
public:
    virtual ~EncodedSizes() = default;
    // The element as written, with its header and, for a sequence, its items.
    virtual uint64_t elementSize(const DataElement* element, bool explicitVr, int depth) const = 0;
    // Whether the group is written headed by its group length element.
    virtual bool writesGroupLength(const ElementGroup* group) const = 0;

    // A filling data set (an item) as written: each group with its group
    // length element where it gets one, then its elements; impossibleSize
    // once it passes that.
    uint64_t contentsSize(DataSet* set, bool explicitVr, int depth) const;
    // The bytes still to come of the group being drained from source.
    uint64_t remainingGroupSize(DataSet* source, bool explicitVr, int depth) const;
};

}  // namespace codec

#endif
