#ifndef DICOMTOOLKIT_ENCODING_STANDARDCODECS_H
#define DICOMTOOLKIT_ENCODING_STANDARDCODECS_H

// The pieces of StandardEncodingService's codecs that its source files
// share: streams over memory (inflated and to-be-deflated data, values read
// as sequences), the walk over buffered input, and the entry points of the
// decoder (StandardDecoder.cpp) and the encoder (StandardEncoder.cpp).
// Internal to the toolkit: not installed as a public header.

#include <cstdint>

#include "CodecSupport.h"
#include "StandardEncodingService.h"

namespace codec {

// A stream over memory: reading serves what was made its input, writing
// collects output that can then become input.
class MemoryStream : public ByteStream {
public:
    int rawRead(uint8_t*, uint32_t) override { return -1; }
    int rawWrite(const uint8_t*, uint32_t) override { return 1; }

    // Moves the pending output behind the buffered input.
    int outputToInput();
    int appendInput(const uint8_t* bytes, uint32_t count);
};

// Walks the buffered input of a stream without consuming it.
class InputScan {
public:
    explicit InputScan(ByteStream& stream);

    // Copies the next n bytes (or passes over them when out is null); 0 when
    // they are not all buffered.
    int take(uint8_t* out, uint32_t n);

    uint32_t scanned = 0;

private:
    ByteStream& stream_;
    uint32_t index_ = 0;
    uint32_t position_ = 0;
};

// The code named by a Transfer Syntax UID element, or 0.
int32_t syntaxNamedBy(const DataElement* element);

// Reads a whole data set from stream into target; syntaxCode is set for a
// read that follows the meta group's Transfer Syntax UID. Failures fill
// service.lastProblem.
int decodeStandard(StandardEncodingService& service, ByteStream& stream, DataSet* target, bool explicitVr,
                   int32_t* syntaxCode);
// Drains source onto stream; syntaxCode is set for a write whose
// (0002,0010) decides the encoding after the meta group; encapsulated: the
// syntax has encapsulated pixel data; groupLengths is one of
// StandardEncodingService::GroupLengths.
int encodeStandard(ByteStream& stream, bool encapsulated, int32_t groupLengths, DataSet* source, bool explicitVr,
                   int32_t* syntaxCode);

}  // namespace codec

#endif
