#ifndef DICOMTOOLKIT_ENCODING_STANDARDTRANSFERSYNTAXES_H
#define DICOMTOOLKIT_ENCODING_STANDARDTRANSFERSYNTAXES_H

#include <cstdint>

#include "TransferSyntax.h"

// The encodings StandardEncodingService reads and writes, as codes beside the
// three of transferSyntaxTable: explicit VR little endian whose pixel data
// (7FE0,0010) is encapsulated (JPEG, JPEG-LS, JPEG 2000, RLE, MPEG and the
// like), and explicit VR little endian compressed as a whole with deflate.
enum : int32_t {
    EncapsulatedLittleEndian = 103,
    DeflatedLittleEndian = 104,
};

// Every transfer syntax UID the standard encodings cover, with its code,
// ended by a row whose uid is null.
extern const TransferSyntaxRow standardTransferSyntaxTable[];

// The code of the row whose UID equals text, or 0. Trailing spaces and NUL
// padding of a value read from a data set are ignored.
int32_t findStandardTransferSyntax(const char* text);

// Byte order (1 little, 2 big) and VR form of one of the codes above.
int32_t standardByteOrderOf(int32_t code);
bool standardIsExplicitVr(int32_t code);

#endif
