#include "FileStream.h"

#include "../platform/SharedFile.h"

FileStream::FileStream() = default;

FileStream::~FileStream() = default;

int FileStream::openForReading(const char* path) {
    file = platform::openDenyingWriters(path);
    return file != nullptr ? 1 : 0;
}

int FileStream::openForWriting(const char* path) {
    file = std::fopen(path, "wb");
    writeFailed = 0;
    return file != nullptr ? 1 : 0;
}

int FileStream::closeFile() {
    if (file == nullptr) return 0;
    const int closed = std::fclose(file);
    file = nullptr;
    return closed == 0 ? 1 : 0;
}

int FileStream::readToEnd() {
    constexpr uint32_t block = 4u << 20;
    if (file == nullptr) return 1;
    const long here = std::ftell(file);
    long end = -1;
    if (here >= 0 && std::fseek(file, 0, SEEK_END) == 0) end = std::ftell(file);
    if (here < 0 || std::fseek(file, here, SEEK_SET) != 0 || end < here) {
        // No size to go by: blocks until the end.
        while (bufferInput(block, block) != 0) {
        }
        return 1;
    }
    const uint64_t left = static_cast<uint64_t>(end - here);
    if (left + available > 0xFFFFFFFFu) return 0;
    return left == 0 ? 1 : deferInput(static_cast<uint32_t>(left));
}

int FileStream::rawRead(uint8_t* buffer, uint32_t maximum) {
    if (file == nullptr || std::feof(file)) return -1;
    const size_t got = std::fread(buffer, 1, maximum, file);
    // A read error that is not the end would otherwise be asked again forever.
    if (got == 0 && std::ferror(file)) return -1;
    return static_cast<int>(got);
}

int FileStream::rawWrite(const uint8_t* buffer, uint32_t count) {
    if (file == nullptr || std::fwrite(buffer, 1, count, file) != count) {
        writeFailed = 1;
        return 0;
    }
    return 1;
}
