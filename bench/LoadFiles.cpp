// Loading DICOM files in one process without printing them, beside a memcpy
// of the same bytes from memory in the same run.
//
//   load_files [--runs N] FILE...     N rounds (5 unless given), each loading
//                                     every file (as dicomtk does, then
//                                     freeing the set) and copying every
//                                     file's bytes from memory into a buffer
//                                     made beforehand, the two taking turns
//                                     as to which goes first
//   load_files --load-only FILE...    loads each file once and frees it,
//                                     nothing else (for a peak memory figure)
//
// Prints one line per round and a last line
//   median load S s, memcpy S s, ratio R
// (wall seconds of all files; ratio = load / memcpy).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "WholeFile.h"
#include "encoding/StandardEncodingService.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool loadAll(const std::vector<std::string>& paths) {
    StandardEncodingService service;
    for (const std::string& path : paths) {
        int decoded = 0;
        ObjectDataSet* set = service.loadFile(path.c_str(), &decoded);
        const bool good = set != nullptr && decoded == 1 && set->fillList.count() > 0;
        delete set;
        if (!good) {
            std::fprintf(stderr, "load_files: %s: cannot be loaded\n", path.c_str());
            return false;
        }
    }
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    bool loadOnly = false;
    std::vector<std::string> paths;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--runs" && index + 1 < argc) {
            runs = std::atoi(argv[++index]);
        } else if (argument == "--load-only") {
            loadOnly = true;
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.empty() || runs < 1) {
        std::fprintf(stderr, "usage: load_files [--runs N | --load-only] FILE...\n");
        return 2;
    }
    if (loadOnly) return loadAll(paths) ? 0 : 1;

    std::vector<std::vector<char>> contents(paths.size());
    size_t total = 0;
    for (size_t index = 0; index < paths.size(); ++index) {
        if (!readWhole(paths[index], contents[index])) {
            std::fprintf(stderr, "load_files: %s: cannot be read\n", paths[index].c_str());
            return 1;
        }
        total += contents[index].size();
    }
    std::vector<char> destination(total, 1);
    // Neither is timed cold: one round of each first.
    if (!loadAll(paths)) return 1;
    std::vector<double> loads, copies;
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            const auto start = Clock::now();
            if ((turn + run) % 2 == 0) {
                if (!loadAll(paths)) return 1;
                loads.push_back(secondsSince(start));
            } else {
                size_t offset = 0;
                for (const std::vector<char>& bytes : contents) {
                    std::memcpy(destination.data() + offset, bytes.data(), bytes.size());
                    offset += bytes.size();
                }
                copies.push_back(secondsSince(start));
                // The copy must not be optimised away.
                if (destination[static_cast<size_t>(run) % total] == 0x7F && destination[0] == 0x7F) std::printf(" ");
            }
        }
        std::printf("round %d: load %.4f s, memcpy %.4f s\n", run + 1, loads.back(), copies.back());
    }
    std::printf("%zu files, %zu bytes; median load %.4f s, memcpy %.4f s, ratio %.1f\n", paths.size(), total,
                median(loads), median(copies), median(loads) / median(copies));
    return 0;
}
