// Throughput of each plug-in's Convert on 16-bit images, beside a plain memcpy
// of the same input bytes in the same run. Reported as input bytes per second.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model/DataSet.h"
#include "platform/DynamicLibrary.h"

namespace {

using ConvertFunction = int (*)(DataSet*, DataElement*, uint32_t, uint32_t, uint32_t, uint8_t*);

struct Image {
    explicit Image(uint32_t size) : side(size), pixels(new DataElement(0x7FE0, 0x0010, size * size * 2, 1)) {
        uint32_t state = 2463534242u;
        for (uint32_t index = 0; index < size * size; ++index) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const uint16_t stored = static_cast<uint16_t>(state & 0x0FFF);
            std::memcpy(pixels->value + index * 2, &stored, 2);
        }
        set.addElement(u16(0x0028, 0x0100, 16));
        set.addElement(u16(0x0028, 0x0101, 12));
        raster.resize(static_cast<size_t>(size) * size);
    }
    static DataElement* u16(uint16_t group, uint16_t element, uint16_t number) {
        auto* made = new DataElement(group, element, 2, 1);
        std::memcpy(made->value, &number, 2);
        return made;
    }
    uint32_t side;
    std::unique_ptr<DataElement> pixels;
    DataSet set;
    std::vector<uint8_t> raster;
};

Image& imageOfSide(uint32_t side) {
    static Image small(512), large(4096);
    return side == 512 ? small : large;
}

ConvertFunction loadConvert(const char* path) {
    void* library = platform::openLibrary(path);
    if (library == nullptr) std::abort();
    return reinterpret_cast<ConvertFunction>(platform::findFunction(library, "Convert"));
}

void convertBenchmark(benchmark::State& state, const char* path) {
    ConvertFunction convert = loadConvert(path);
    Image& image = imageOfSide(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        convert(&image.set, image.pixels.get(), image.side, image.side, 0, image.raster.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * image.pixels->length);
}

void Memcpy(benchmark::State& state) {
    Image& image = imageOfSide(static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> copy(image.pixels->length);
    for (auto _ : state) {
        std::memcpy(copy.data(), image.pixels->value, image.pixels->length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * image.pixels->length);
}

void Lumenar(benchmark::State& state) { convertBenchmark(state, LUMENAR_PATH); }
void Tonewell(benchmark::State& state) { convertBenchmark(state, TONEWELL_PATH); }

}  // namespace

BENCHMARK(Memcpy)->Arg(512)->Arg(4096);
BENCHMARK(Lumenar)->Arg(512)->Arg(4096);
BENCHMARK(Tonewell)->Arg(512)->Arg(4096);

int main(int argc, char** argv) {
    // lumenar writes its log into the working directory.
    char directory[] = "/tmp/plugin-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr || chdir(directory) != 0) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove((std::string(directory) + "/lumenar.tmp").c_str());
    rmdir(directory);
    return 0;
}
