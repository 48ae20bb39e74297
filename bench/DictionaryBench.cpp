// How long loading the standard data dictionary takes (6037 entries): as
// shipped (sorted by tag), without names, and the same lines shuffled, which
// the table then sorts through its heap. And the cost of one lookup by tag
// and by keyword.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "encoding/DataDictionary.h"

namespace {

const char* const standardPath = DICOMTOOLKIT_DICTIONARY;

// A file removed when the program ends.
struct ScratchFile {
    std::string path;
    ~ScratchFile() { std::remove(path.c_str()); }
};

// The shipped dictionary's lines in a random order, in a scratch file.
const std::string& shuffledPath() {
    static const ScratchFile file{[] {
        std::ifstream in(standardPath);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        std::mt19937 random(5);
        std::shuffle(lines.begin(), lines.end(), random);
        const std::string made =
            (std::filesystem::temp_directory_path() / ("dicomtoolkit-shuffled-" + std::to_string(random()) + ".dic"))
                .string();
        std::ofstream out(made);
        for (const std::string& line : lines) out << line << "\n";
        return made;
    }()};
    return file.path;
}

void LoadStandardDictionary(benchmark::State& state) {
    const int keepNames = static_cast<int>(state.range(0));
    for (auto _ : state) {
        DataDictionary dictionary(keepNames, standardPath);
        benchmark::DoNotOptimize(dictionary.entryCount());
        if (dictionary.entryCount() == 0) state.SkipWithError("the dictionary did not load");
    }
}
BENCHMARK(LoadStandardDictionary)->ArgName("keepNames")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void LoadShuffledDictionary(benchmark::State& state) {
    const std::string& path = shuffledPath();
    for (auto _ : state) {
        DataDictionary dictionary(1, path.c_str());
        benchmark::DoNotOptimize(dictionary.entryCount());
        if (dictionary.entryCount() == 0) state.SkipWithError("the dictionary did not load");
    }
}
BENCHMARK(LoadShuffledDictionary)->Unit(benchmark::kMillisecond);

void LookupByTag(benchmark::State& state) {
    DataDictionary dictionary(1, standardPath);
    const SortedKeyTable& table = *dictionary.table;
    uint32_t index = 0;
    for (auto _ : state) {
        const uint32_t tag = table.keys[index];
        benchmark::DoNotOptimize(dictionary.lookup(static_cast<uint16_t>(tag >> 16), static_cast<uint16_t>(tag)));
        index = (index + 7919) % table.countOf();
    }
}
BENCHMARK(LookupByTag);

void FindKeyword(benchmark::State& state) {
    DataDictionary dictionary(1, standardPath);
    uint16_t group = 0, element = 0;
    for (auto _ : state) benchmark::DoNotOptimize(dictionary.findKeyword("PatientName", group, element));
}
BENCHMARK(FindKeyword);

}  // namespace

BENCHMARK_MAIN();
