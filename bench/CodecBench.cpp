// Encode and decode throughput of the transfer-syntax codecs on a data set
// holding a 512 x 512 16-bit image and 40 ordinary elements, in each transfer
// syntax, beside a memcpy of the same encoded bytes in the same run: the base
// service's codecs (the toolkit's own encoding) and StandardEncodingService's.
// Reported as encoded bytes per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "../tests/support/MemoryTransport.h"
#include "encoding/StandardEncodingService.h"
#include "encoding/TransferSyntax.h"
#include "network/AssociationService.h"

namespace {

using MemoryStream = MemoryTransport<ByteStream>;

DataSet* imageSet() {
    auto* set = new DataSet();
    for (uint16_t index = 0; index < 40; ++index) {
        const std::string text = "VALUE-" + std::to_string(index * 7919);
        auto* element = new DataElement(static_cast<uint16_t>(0x0008 + 2 * (index % 5)),
                                        static_cast<uint16_t>(0x1000 + index), static_cast<uint32_t>(text.size()), 1);
        std::memcpy(element->value, text.data(), text.size());
        element->vr = vrCode('L', 'O');
        set->addElement(element);
    }
    auto* pixels = new DataElement(0x7FE0, 0x0010, 512 * 512 * 2, 1);
    for (uint32_t index = 0; index < 512 * 512; ++index) {
        const uint16_t sample = static_cast<uint16_t>(index * 13 & 0x0FFF);
        std::memcpy(pixels->value + index * 2, &sample, 2);
    }
    pixels->vr = vrCode('O', 'W');
    set->addElement(pixels);
    return set;
}

struct Syntax {
    int (AssociationService::*write)(DataSet*, ByteStream*);
    int (AssociationService::*read)(ByteStream*, DataSet*);
};

const Syntax syntaxes[] = {
    {&AssociationService::writeImplicitLittle, &AssociationService::readImplicitLittle},
    {&AssociationService::writeExplicitLittle, &AssociationService::readExplicitLittle},
    {&AssociationService::writeExplicitBig, &AssociationService::readExplicitBig},
};

std::vector<uint8_t> encoded(const Syntax& syntax) {
    AssociationService service;
    MemoryStream stream;
    DataSet* set = imageSet();
    (service.*syntax.write)(set, &stream);
    stream.flush();
    delete set;
    return stream.output;
}

template <typename Service>
void Encode(benchmark::State& state) {
    const Syntax& syntax = syntaxes[state.range(0)];
    Service service;
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        DataSet* set = imageSet();
        MemoryStream stream;
        stream.output.reserve(600000);
        state.ResumeTiming();
        (service.*syntax.write)(set, &stream);
        stream.flush();
        bytes = stream.output.size();
        state.PauseTiming();
        delete set;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

template <typename Service>
void Decode(benchmark::State& state) {
    const Syntax& syntax = syntaxes[state.range(0)];
    const std::vector<uint8_t> input = encoded(syntax);
    Service service;
    for (auto _ : state) {
        MemoryStream stream(input.data(), input.size());
        stream.readAhead(static_cast<uint32_t>(input.size()));
        DataSet set;
        service.itemBytesLeft = 0;
        if ((service.*syntax.read)(&stream, &set) != 1) state.SkipWithError("decode failed");
        state.PauseTiming();
        set.clear();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void Memcpy(benchmark::State& state) {
    const std::vector<uint8_t> input = encoded(syntaxes[0]);
    std::vector<uint8_t> copy(input.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), input.data(), input.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

}  // namespace

// Argument: 0 implicit little endian, 1 explicit little endian, 2 explicit big endian.
BENCHMARK(Memcpy);
BENCHMARK_TEMPLATE(Encode, AssociationService)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(Encode, StandardEncodingService)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(Decode, AssociationService)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(Decode, StandardEncodingService)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
