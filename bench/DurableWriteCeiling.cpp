// The machine's ceiling for durable storage: copies each file into a
// folder the way a careful storage server stores an object, one after the
// other: read it, write it under a temporary name, fsync it, rename it into
// place (and with --sync-folder, fsync the folder too, so that the new name
// survives a crash as well). Nothing else: no decoding, no network.
//
//   durable_write_ceiling [--sync-folder] OUTPUT_DIRECTORY FILE...
//
// Prints the files, the bytes and the seconds of the whole loop.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "WholeFile.h"

namespace {

bool writeAll(int descriptor, const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

bool syncPath(const char* path, int flags) {
    const int descriptor = open(path, flags);
    if (descriptor < 0) return false;
    const bool synced = fsync(descriptor) == 0;
    return close(descriptor) == 0 && synced;
}

bool storeDurably(const std::string& folder, const char* source, const std::vector<char>& bytes, bool syncFolder) {
    const char* slash = std::strrchr(source, '/');
    const std::string name = slash == nullptr ? source : slash + 1;
    const std::string target = folder + "/" + name;
    const std::string temporary = folder + "/.incoming-" + name + ".tmp";
    const int descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (descriptor < 0) return false;
    const bool written = writeAll(descriptor, bytes.data(), bytes.size()) && fsync(descriptor) == 0;
    if (close(descriptor) != 0 || !written) return false;
    if (std::rename(temporary.c_str(), target.c_str()) != 0) return false;
    return !syncFolder || syncPath(folder.c_str(), O_RDONLY | O_DIRECTORY);
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    bool syncFolder = false;
    if (first < argc && std::strcmp(argv[first], "--sync-folder") == 0) {
        syncFolder = true;
        ++first;
    }
    if (argc - first < 2) {
        std::fprintf(stderr, "usage: durable_write_ceiling [--sync-folder] OUTPUT_DIRECTORY FILE...\n");
        return 2;
    }
    const std::string folder = argv[first];
    std::vector<char> bytes;
    unsigned long long total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int index = first + 1; index < argc; ++index) {
        if (!readWhole(argv[index], bytes) || !storeDurably(folder, argv[index], bytes, syncFolder)) {
            std::fprintf(stderr, "durable_write_ceiling: %s: %s\n", argv[index], std::strerror(errno));
            return 1;
        }
        total += bytes.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d files, %llu bytes, %.3f s\n", argc - first - 1, total, seconds);
    return 0;
}
