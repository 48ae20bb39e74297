#ifndef DICOMTOOLKIT_ENCODING_BYTEORDER_H
#define DICOMTOOLKIT_ENCODING_BYTEORDER_H

#include <atomic>
#include <cstdint>

// Byte swapping, big-endian value types and the process-wide identifier
// counter. The host is little endian, so converting to big endian is always a
// swap.

uint16_t swapBytes16(uint16_t value);
uint32_t swapBytes32(uint32_t value);
uint16_t hostToBig16(uint16_t value);
uint32_t hostToBig32(uint32_t value);

// A 16-bit number kept most significant byte first in memory, for overlaying
// fixed big-endian fields of wire structures.
class BigEndian16 {
public:
    BigEndian16() = default;
    BigEndian16(uint16_t value) : stored(swapBytes16(value)) {}
    BigEndian16(uint32_t value) : stored(swapBytes16(static_cast<uint16_t>(value))) {}
    BigEndian16(const BigEndian16&) = default;
    BigEndian16& operator=(const BigEndian16&) = default;

    operator uint16_t() const { return swapBytes16(stored); }
    BigEndian16& reset() {
        stored = 0;
        return *this;
    }
    BigEndian16& operator=(uint16_t value) { return store(value); }
    BigEndian16& operator=(int16_t value) { return store(static_cast<uint16_t>(value)); }
    BigEndian16& operator=(uint32_t value) { return store(static_cast<uint16_t>(value)); }
    BigEndian16& operator=(int32_t value) { return store(static_cast<uint16_t>(value)); }
    BigEndian16& operator=(unsigned long value) { return store(static_cast<uint16_t>(value)); }

    uint16_t stored;

private:
    BigEndian16& store(uint16_t value) {
        stored = swapBytes16(value);
        return *this;
    }
};

// A 32-bit number kept most significant byte first in memory.
class BigEndian32 {
public:
    BigEndian32() = default;
    BigEndian32(uint32_t value) : stored(swapBytes32(value)) {}
    BigEndian32(int32_t value) : stored(swapBytes32(static_cast<uint32_t>(value))) {}
    BigEndian32(const BigEndian32&) = default;
    BigEndian32& operator=(const BigEndian32&) = default;

    operator uint32_t() const { return swapBytes32(stored); }
    BigEndian32& reset() {
        stored = 0;
        return *this;
    }
    BigEndian32& operator=(uint16_t value) { return store(value); }
    BigEndian32& operator=(int16_t value) { return store(static_cast<uint32_t>(static_cast<int32_t>(value))); }
    BigEndian32& operator=(uint32_t value) { return store(value); }
    BigEndian32& operator=(int32_t value) { return store(static_cast<uint32_t>(value)); }
    BigEndian32& operator=(unsigned long value) { return store(static_cast<uint32_t>(value)); }

    uint32_t stored;

private:
    BigEndian32& store(uint32_t value) {
        stored = swapBytes32(value);
        return *this;
    }
};

// Network order is big endian: the same layouts and behaviour.
using NetOrder16 = BigEndian16;
using NetOrder32 = BigEndian32;

// The counter from which presentation-context IDs and DIMSE Message IDs are
// drawn. Starts at 1; every draw advances it. Draws are atomic, so a program
// that drives one association per thread never hands out one ID twice; a
// single thread draws exactly the same numbers as without.
extern std::atomic<uint32_t> idCounter;

uint32_t nextId32();
uint32_t nextId();
uint16_t nextId16();
uint8_t nextId8();
// Presentation-context IDs: odd numbers from 1 to 255, however far the
// counter has run (1, 3, 5, ... from a fresh counter).
uint8_t nextOddId8();
// Message IDs: odd numbers from 1 to 65535.
uint16_t nextOddId16();

#endif
