// libFuzzer target for what an established association reads: the input is
// the stream of PDUs after the negotiation (P-DATA-TF with their PDVs, and
// whatever else a peer sends), read message by message with readMessage by
// the base service and by StandardEncodingService, on accepted contexts 1
// (implicit VR little endian), 3 (explicit VR little endian), 5 (explicit
// VR big endian), 7 (deflated explicit VR little endian) and 9 (JPEG
// baseline). Each message that decodes is sent again (as a command or a
// data set, as it came) to a second service; what that one decodes, sent
// once more, must decode to the same elements and items.
//
//   build-fuzz/fuzz/pdata_fuzzer -max_total_time=60 CORPUS SEEDS

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "encoding/StandardEncodingService.h"
#include "network/AssociationService.h"

namespace {

using fuzzing::describe;

const struct {
    uint8_t id;
    const char* transferSyntax;
} contexts[] = {
    {1, "1.2.840.10008.1.2"},      {3, "1.2.840.10008.1.2.1"},    {5, "1.2.840.10008.1.2.2"},
    {7, "1.2.840.10008.1.2.1.99"}, {9, "1.2.840.10008.1.2.4.50"},
};

// A service established on the contexts above whose connection is a
// fixed input and a collected output.
template <typename Service>
class MemoryAssociation : public MemoryTransport<Service> {
public:
    MemoryAssociation(const uint8_t* data, size_t size) : MemoryTransport<Service>(data, size) {
        for (const auto& context : contexts) {
            PresentationContextResultItem accepted{TransferSyntaxItem(UidValue(context.transferSyntax))};
            accepted.contextId = context.id;
            accepted.resultReason = ContextAccepted;
            this->acceptedContexts.tryAppend(accepted);
        }
        this->maximumReceiveLength = AssociationService::announcedMaximumLength;
        this->established = 1;
        // Marked connected for isEstablished; no socket is ever opened.
        this->socket.connected = 1;
    }
    ~MemoryAssociation() override {
        this->established = 0;
        this->socket.connected = 0;
    }
    // The end of the input is the end of the connection.
    int rawRead(uint8_t* buffer, uint32_t maximum) override {
        const int got = MemoryTransport<Service>::rawRead(buffer, maximum);
        if (got < 0) this->transportFailed = 1;
        return got;
    }
};

// Reads the first message of bytes into set: 1, with command telling its kind.
template <typename Service>
int receive(const std::vector<uint8_t>& bytes, DataSet& set, bool& command) {
    MemoryAssociation<Service> service(bytes.data(), bytes.size());
    if (service.readMessage(set) != 1) return 0;
    command = service.isCommandMessage() != 0;
    return 1;
}

// Sends set as a message of the kind given; the PDUs sent, empty when
// the set could not be sent.
template <typename Service>
std::vector<uint8_t> send(DataSet& set, bool command) {
    MemoryAssociation<Service> service(nullptr, 0);
    const int sent = command ? service.sendCommand(set) : service.sendDataSet(set);
    return sent == 1 ? service.output : std::vector<uint8_t>();
}

template <typename Service>
void checkService(const uint8_t* data, size_t size) {
    MemoryAssociation<Service> service(data, size);
    for (int message = 0; message < 16; ++message) {
        DataSet set;
        if (service.readMessage(set) != 1) break;
        const bool command = service.isCommandMessage() != 0;
        const std::vector<uint8_t> once = send<Service>(set, command);
        if (once.empty()) continue;
        DataSet first;
        bool firstCommand = false;
        if (receive<Service>(once, first, firstCommand) != 1 || firstCommand != command) std::abort();
        const std::string expected = describe(&first);
        DataSet again;
        receive<Service>(once, again, firstCommand);
        const std::vector<uint8_t> twice = send<Service>(again, command);
        if (twice.empty()) continue;
        DataSet second;
        bool secondCommand = false;
        if (receive<Service>(twice, second, secondCommand) != 1 || secondCommand != command) std::abort();
        if (describe(&second) != expected) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    checkService<AssociationService>(data, size);
    checkService<StandardEncodingService>(data, size);
    return 0;
}
