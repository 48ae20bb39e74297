#include "UidValue.h"

#include <cstring>

UidValue::UidValue(const char* text) { assign(text); }

void UidValue::clear() {
    std::memset(characters, 0, sizeof characters);
    length = 0;
}

int UidValue::assign(const char* text) {
    if (text == nullptr) return 0;
    const size_t size = std::strlen(text);
    if (size > capacity) return 0;
    return assign(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(size));
}

int UidValue::assign(const uint8_t* bytes, uint32_t n) {
    if (n > capacity) return 0;
    clear();
    if (n != 0) std::memcpy(characters, bytes, n);
    length = n;
    return 1;
}

bool UidValue::operator==(const UidValue& other) const {
    return length == other.length && std::memcmp(characters, other.characters, length) == 0;
}
