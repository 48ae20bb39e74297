#ifndef DICOMTOOLKIT_ENCODING_DEFLATE_H
#define DICOMTOOLKIT_ENCODING_DEFLATE_H

#include <cstdint>

#include "../stream/ByteStream.h"

// Raw deflate streams (no zlib header or checksum), as deflated explicit VR
// little endian carries the data set after the file meta information. Built
// on zlib; a build without it has deflateSupported() false and both
// operations fail.
bool deflateSupported();

// Inflates every byte buffered in source's input (consuming them) and
// appends the result to target's output. 1, or 0 when the input is not one
// complete deflate stream, would inflate to more than limit bytes, or memory
// ran out.
int inflateInput(ByteStream& source, ByteStream& target, uint32_t limit);

// Compresses everything pending in source's output (which is discarded) and
// appends the deflate stream to target's output. 1, or 0 on failure.
int deflateOutput(ByteStream& source, ByteStream& target);

#endif
