// libFuzzer target for the association PDUs as the acceptor and the
// requester read them: the input is one PDU from its type byte on, read as
// A-ASSOCIATE-RQ and as A-ASSOCIATE-AC (with their items: application
// context, presentation contexts and their syntaxes, user information and
// its sub-items) and as each 10-byte PDU. A PDU that reads is written again;
// what was written must read again and write the same bytes. The fields
// travel big endian, as on an association.
//
//   build-fuzz/fuzz/association_pdu_fuzzer -max_total_time=60 CORPUS SEEDS

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "network/AssociationPdus.h"

namespace {

using fuzzing::MemoryStream;

template <typename Pdu>
int decode(Pdu& pdu, const uint8_t* data, size_t size) {
    MemoryStream input(data, size);
    input.setReadOrder(ByteStream::bigEndian);
    return pdu.read(&input);
}

template <typename Pdu>
std::vector<uint8_t> encode(Pdu& pdu) {
    MemoryStream output(nullptr, 0);
    output.setWriteOrder(ByteStream::bigEndian);
    pdu.write(&output);
    output.flush();
    return output.output;
}

template <typename Pdu>
void roundTrip(const uint8_t* data, size_t size) {
    Pdu first;
    if (decode(first, data, size) != 1) return;
    const std::vector<uint8_t> written = encode(first);
    if (written.size() != first.encodedSize()) std::abort();
    Pdu second;
    if (decode(second, written.data(), written.size()) != 1) std::abort();
    if (encode(second) != written) std::abort();
}

template <typename Pdu>
void decodeOnly(const uint8_t* data, size_t size) {
    Pdu pdu;
    decode(pdu, data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 21)) return 0;
    roundTrip<AssociateRequestPdu>(data, size);
    roundTrip<AssociateAcceptPdu>(data, size);
    decodeOnly<AssociateRejectPdu>(data, size);
    decodeOnly<ReleaseRequestPdu>(data, size);
    decodeOnly<AbortPdu>(data, size);
    return 0;
}
