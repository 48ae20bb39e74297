#include "TransferSyntax.h"

#include <cstring>

const TransferSyntaxRow transferSyntaxTable[] = {
    {"1.2.840.10008.1.2", ImplicitLittleEndian},
    {"1.2.840.10008.1.2.1", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.2", ExplicitBigEndian},
    {"1.2.840.10008.1.2.4.50", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.51", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.52", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.53", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.54", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.55", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.56", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.57", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.58", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.59", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.60", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.61", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.62", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.63", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.64", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.65", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.66", ExplicitLittleEndian},
    {"1.2.840.10008.1.2.4.70", ExplicitLittleEndian},
    {nullptr, 0},
};

int32_t findTransferSyntax(const char* text) {
    if (text == nullptr) return 0;
    for (const TransferSyntaxRow* row = transferSyntaxTable; row->uid != nullptr; ++row) {
        if (std::strcmp(row->uid, text) == 0) return row->code;
    }
    return 0;
}

int32_t byteOrderOf(int32_t code) { return (code == ImplicitLittleEndian || code == ExplicitLittleEndian) ? 1 : 2; }

bool isExplicitVr(int32_t code) { return code == ExplicitLittleEndian || code == ExplicitBigEndian; }
