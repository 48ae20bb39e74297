#include "StandardTransferSyntaxes.h"

#include <cstring>

const TransferSyntaxRow standardTransferSyntaxTable[] = {
    {"1.2.840.10008.1.2", ImplicitLittleEndian},
    {"1.2.840.10008.1.2.1", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.2", ExplicitBigEndian},
    {"1.2.840.10008.1.2.1.99", DeflatedLittleEndian},
    // JPEG baseline, extended, the retired processes, lossless
    {"1.2.840.10008.1.2.4.50", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.51", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.52", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.53", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.54", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.55", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.56", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.57", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.58", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.59", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.60", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.61", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.62", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.63", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.64", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.65", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.66", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.70", EncapsulatedLittleEndian},
    // JPEG-LS lossless and near-lossless
    {"1.2.840.10008.1.2.4.80", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.81", EncapsulatedLittleEndian},
    // JPEG 2000, lossless only and lossy, single and multi-component
    {"1.2.840.10008.1.2.4.90", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.91", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.92", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.93", EncapsulatedLittleEndian},
    // JPIP referenced: the pixel data stay on a server
    {"1.2.840.10008.1.2.4.94", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.95", DeflatedLittleEndian},
    // MPEG-2, MPEG-4 AVC/H.264, HEVC/H.265
    {"1.2.840.10008.1.2.4.100", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.101", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.102", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.103", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.104", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.105", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.106", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.107", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.108", EncapsulatedLittleEndian},
    // JPEG XL
    {"1.2.840.10008.1.2.4.110", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.111", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.112", EncapsulatedLittleEndian},
    // High-Throughput JPEG 2000
    {"1.2.840.10008.1.2.4.201", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.202", EncapsulatedLittleEndian},
    {"1.2.840.10008.1.2.4.203", EncapsulatedLittleEndian},
    // RLE lossless
    {"1.2.840.10008.1.2.5", EncapsulatedLittleEndian},
    {nullptr, 0},
};

int32_t findStandardTransferSyntax(const char* text) {
    if (text == nullptr) return 0;
    size_t length = std::strlen(text);
    while (length != 0 && text[length - 1] == ' ') --length;
    for (const TransferSyntaxRow* row = standardTransferSyntaxTable; row->uid != nullptr; ++row) {
        if (std::strlen(row->uid) == length && std::memcmp(row->uid, text, length) == 0) return row->code;
    }
    return 0;
}

int32_t standardByteOrderOf(int32_t code) { return code == ExplicitBigEndian ? 2 : 1; }

bool standardIsExplicitVr(int32_t code) { return code != ImplicitLittleEndian; }
