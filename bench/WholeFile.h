#ifndef BENCH_WHOLEFILE_H
#define BENCH_WHOLEFILE_H

#include <cstdio>
#include <string>
#include <vector>

// Reads the file at path into bytes (replacing what they held) in blocks of
// 64 KiB, as the programs that time file work read their inputs: false when
// it cannot be opened or read.
inline bool readWhole(const std::string& path, std::vector<char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes.clear();
    char block[1 << 16];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + count);
    const bool good = std::ferror(file) == 0;
    std::fclose(file);
    return good;
}

#endif
