#ifndef DICOMTOOLKIT_ENCODING_TRANSFERSYNTAX_H
#define DICOMTOOLKIT_ENCODING_TRANSFERSYNTAX_H

#include <cstdint>

// The three encodings the toolkit knows, as transfer-syntax codes.
enum : int32_t {
    ImplicitLittleEndian = 100,
    ExplicitLittleEndian = 101,
    ExplicitBigEndian = 102,
};

struct TransferSyntaxRow {
    const char* uid;
    int32_t code;
};

// Transfer syntax UIDs and the encoding each is read and written with, ended
// by a row whose uid is null. The JPEG syntaxes are handled exactly as
// explicit VR little endian (their pixel data is not decoded).
extern const TransferSyntaxRow transferSyntaxTable[];

// The code of the first row whose UID equals text exactly, or 0.
int32_t findTransferSyntax(const char* text);

// Byte-order code (1 little, 2 big) and VR form of a transfer-syntax code.
int32_t byteOrderOf(int32_t code);
bool isExplicitVr(int32_t code);

#endif
