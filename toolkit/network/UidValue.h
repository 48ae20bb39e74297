#ifndef DICOMTOOLKIT_NETWORK_UIDVALUE_H
#define DICOMTOOLKIT_NETWORK_UIDVALUE_H

#include <cstdint>

// A UID or implementation name of the protocol and DIMSE layers: at most 64
// characters with an explicit length. Every way of filling a value clears all
// its characters first, so the text is always zero-terminated (a spare byte
// after the 64 keeps a value of full length terminated too). Equality
// compares the length and the counted bytes, without trimming: a trailing
// space or NUL inside the length is significant.
class UidValue {
public:
    static constexpr uint32_t capacity = 64;

    UidValue() = default;
    // Assigned from text; a text longer than 64 characters leaves the value empty.
    UidValue(const char* text);  // NOLINT: a UID text converts to its value

    // 1, or 0 for a null text or one longer than 64 characters, which leaves
    // the value as it was.
    int assign(const char* text);
    // n raw bytes, as received (NUL bytes included); 0 when n exceeds 64.
    int assign(const uint8_t* bytes, uint32_t n);
    void clear();

    const char* text() const { return characters; }
    uint32_t size() const { return length; }

    bool operator==(const UidValue& other) const;
    bool operator!=(const UidValue& other) const { return !(*this == other); }

    uint32_t length = 0;
    char characters[capacity + 1] = {};
};

#endif
