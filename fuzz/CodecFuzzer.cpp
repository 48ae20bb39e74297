// libFuzzer target for the transfer-syntax decoders, the base service's and
// StandardEncodingService's: any input is decoded by each reader, and by
// the file operations' reader that follows the meta
// group's transfer syntax (from each syntax it can start with); whatever
// decodes completely is encoded again with the matching writer and, when
// that succeeds, must decode to the same elements and items (odd lengths
// aside: they come back padded).
//
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DDICOMTOOLKIT_FUZZ=ON
//   cmake --build build-fuzz --target codec_fuzzer && build-fuzz/fuzz/codec_fuzzer -max_total_time=60
//
// Seeded (fuzz/seed_corpus.sh writes the seeds; pydicom's test files are
// taken from the python3-pydicom package when it is installed):
//
//   fuzz/seed_corpus.sh /tmp/codec-seeds && mkdir -p /tmp/codec-corpus
//   build-fuzz/fuzz/codec_fuzzer -runs=10000000 /tmp/codec-corpus /tmp/codec-seeds

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "encoding/TransferSyntax.h"
#include "encoding/StandardEncodingService.h"
#include "network/AssociationService.h"

namespace {

using fuzzing::describe;
using fuzzing::MemoryStream;

// The file operations' codec: the syntax loadFile starts with up to the meta
// group's Transfer Syntax UID, then the syntax it names.
template <int32_t Start>
int readFileSyntax(AssociationService& service, ByteStream* stream, DataSet* target) {
    return service.readWithSyntax(stream, target, Start);
}

template <int32_t Start>
int writeFileSyntax(AssociationService& service, DataSet* source, ByteStream* stream) {
    return service.writeWithSyntax(source, stream, Start);
}

template <int (AssociationService::*Read)(ByteStream*, DataSet*)>
int readWith(AssociationService& service, ByteStream* stream, DataSet* target) {
    return (service.*Read)(stream, target);
}

template <int (AssociationService::*Write)(DataSet*, ByteStream*)>
int writeWith(AssociationService& service, DataSet* source, ByteStream* stream) {
    return (service.*Write)(source, stream);
}

struct Codec {
    int (*read)(AssociationService&, ByteStream*, DataSet*);
    int (*write)(AssociationService&, DataSet*, ByteStream*);
};

const Codec codecs[] = {
    {readWith<&AssociationService::readImplicitLittle>, writeWith<&AssociationService::writeImplicitLittle>},
    {readWith<&AssociationService::readExplicitLittle>, writeWith<&AssociationService::writeExplicitLittle>},
    {readWith<&AssociationService::readExplicitBig>, writeWith<&AssociationService::writeExplicitBig>},
    {readFileSyntax<ExplicitLittleEndian>, writeFileSyntax<ExplicitLittleEndian>},
    {readFileSyntax<ImplicitLittleEndian>, writeFileSyntax<ImplicitLittleEndian>},
    {readFileSyntax<ExplicitBigEndian>, writeFileSyntax<ExplicitBigEndian>},
};

}  // namespace

// Decodes the input with a reader; 1 when it decoded completely.
int decode(AssociationService& service, const Codec& codec, const uint8_t* data, size_t size, DataSet& target) {
    MemoryStream input(data, size);
    if (size != 0) input.readAhead(static_cast<uint32_t>(size));
    service.itemBytesLeft = 0;
    return codec.read(service, &input, &target);
}

void checkService(AssociationService& service, const uint8_t* data, size_t size) {
    for (const Codec& codec : codecs) {
        DataSet first;
        if (decode(service, codec, data, size, first) != 1) continue;
        const std::string expected = describe(&first);
        DataSet again;
        decode(service, codec, data, size, again);
        MemoryStream encoded(nullptr, 0);
        if (codec.write(service, &again, &encoded) != 1) continue;
        encoded.flush();
        DataSet second;
        if (decode(service, codec, encoded.output.data(), encoded.output.size(), second) != 1) std::abort();
        if (describe(&second) != expected) std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    AssociationService base;
    checkService(base, data, size);
    StandardEncodingService standard;
    checkService(standard, data, size);
    return 0;
}
