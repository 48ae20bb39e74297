#include "ByteOrder.h"

uint16_t swapBytes16(uint16_t value) { return static_cast<uint16_t>(value << 8 | value >> 8); }

uint32_t swapBytes32(uint32_t value) {
    return static_cast<uint32_t>(swapBytes16(static_cast<uint16_t>(value))) << 16 |
           swapBytes16(static_cast<uint16_t>(value >> 16));
}

uint16_t hostToBig16(uint16_t value) { return swapBytes16(value); }
uint32_t hostToBig32(uint32_t value) { return swapBytes32(value); }

std::atomic<uint32_t> idCounter{1};

uint32_t nextId32() { return idCounter++; }
uint32_t nextId() { return idCounter++; }
uint16_t nextId16() { return static_cast<uint16_t>(idCounter++ % 0xFFFF); }
uint8_t nextId8() { return static_cast<uint8_t>(idCounter++ % 0xFF); }

namespace {

// Takes the next odd counter value. The odd values v are numbered
// (v - 1) / 2 and that number is folded onto the odd IDs 1..limit, so the
// first draws return the counter value itself and later ones stay odd.
uint32_t nextOddId(uint32_t oddIds) {
    // Skips an even counter value and takes the odd one after it, in one step.
    uint32_t current = idCounter.load();
    uint32_t value;
    do {
        value = current | 1u;
    } while (!idCounter.compare_exchange_weak(current, value + 1));
    return (value - 1) / 2 % oddIds * 2 + 1;
}

}  // namespace

uint8_t nextOddId8() { return static_cast<uint8_t>(nextOddId(128)); }
uint16_t nextOddId16() { return static_cast<uint16_t>(nextOddId(32768)); }
