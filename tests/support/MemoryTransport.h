#ifndef TESTS_SUPPORT_MEMORYTRANSPORT_H
#define TESTS_SUPPORT_MEMORYTRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Base (a ByteStream, or a service built on one) whose raw transport is
// memory: reads serve a fixed input, then -1, the end of the connection or
// file; writes are collected in output. The input is not copied and must
// outlive the object. Used where no connection is wanted: the fuzz targets
// and the codec benchmark.
template <typename Base>
class MemoryTransport : public Base {
public:
    explicit MemoryTransport(const uint8_t* data = nullptr, size_t size = 0) : data_(data), size_(size) {}

    int rawRead(uint8_t* buffer, uint32_t maximum) override {
        if (offset_ == size_) return -1;
        const size_t count = size_ - offset_ < maximum ? size_ - offset_ : maximum;
        std::memcpy(buffer, data_ + offset_, count);
        offset_ += count;
        return static_cast<int>(count);
    }

    int rawWrite(const uint8_t* buffer, uint32_t count) override {
        output.insert(output.end(), buffer, buffer + count);
        return 1;
    }

    std::vector<uint8_t> output;

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

#endif
