// Ctrl-C during dicomtk find, move and get, against peers that answer
// each request with bytes made for the test and send the interrupt
// themselves.

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../dimse/DimseFixtures.h"
#include "AnsweringPeer.h"
#include "RetrieveScripts.h"
#include "ServeSupport.h"

using namespace serving;
using namespace retrieving;

// Ctrl-C while find, move or get runs: one C-CANCEL-RQ on the operation's
// context naming its Message ID, the responses read up to the final one
// (0xFE00), the association released, a line saying so and exit status
// 130. The peer sends the interrupt itself, before the message that lets
// dicomtk go on, so that dicomtk has seen it by the time it next waits; get
// has received and kept one object first.
TEST(DicomtkQuery, CtrlCSendsOneCCancelAndExitsWith130) {
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        const char* model;
        uint16_t responseField;
        const char* outputLine;
    };
    const Case cases[] = {
        {"find", {"find", "-k", "PatientName"}, patientRootFindUid, CFindResponse, "1 matches, final status 0xFE00\n"},
        {"move",
         {"move", "-L", "PATIENT", "-k", "PatientID=P1", "--dest", "ELSEWHERE"},
         patientRootMoveUid,
         CMoveResponse,
         "final 0xFE00 cancelled: remaining 1, completed 1, failed 0, warning 0\n"},
        {"get",
         {"get", "-L", "PATIENT", "-k", "PatientID=P1"},
         patientRootGetUid,
         CGetResponse,
         "final 0xFE00: completed 1, failed 0, warning 0\n"},
    };
    const std::string instance = "1.2.826.0.1.3680043.9.7133.38.1";
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const bool get = row.responseField == CGetResponse;
        std::atomic<pid_t> child{0};
        const auto interrupt = [&] {
            for (int tries = 0; tries < 10000 && child.load() == 0; ++tries) std::this_thread::yield();
            ::kill(child.load(), SIGINT);
        };
        uint16_t operationId = 0;
        uint8_t operationContext = 0;
        uint16_t storeStatus = 0xFFFF;
        std::unique_ptr<CommandSet> cancel;
        dimse::Message cancelMessage{};
        AnsweringPeer::Connection connection;
        if (!get) connection.opening = association::acceptBytes({{1, ContextAccepted, implicitLittle}});
        connection.script = [&](AnsweringPeer& peer) {
            uint8_t storeContext = 0;
            if (get) {
                AssociateRequestPdu request;
                if (!peer.associateRequest(request)) return;
                std::map<std::string, uint8_t> contextOf;
                peer.send(acceptFor(request, {row.model}, {{ctImageStorage, implicitLittle}}, contextOf));
                storeContext = contextOf[ctImageStorage];
            }
            std::unique_ptr<CommandSet> request = peer.nextCommand();
            if (!request) return;
            operationId = request->findU16(0x0000, MessageId);
            operationContext = peer.lastContextId;
            Bytes go;
            if (row.responseField == CFindResponse) {
                go = commandPdu(operationContext,
                                retrieveResponse(row.model, row.responseField, operationId, StatusPending, true)) +
                     dataSetPdu(operationContext,
                                dimse::implicitBytes({textElement(0x0010, 0x0010, "DOE^ONE ", vrCode('P', 'N'))}));
            } else {
                go = commandPdu(operationContext, retrieveResponse(row.model, row.responseField, operationId,
                                                                   StatusPending, false, 1, 1));
            }
            if (get) {
                // One object first, on the context of its class.
                CommandSet store;
                store.addElement(textElement(0x0000, AffectedSopClassUid, uidValue(ctImageStorage)));
                store.addElement(u16Element(0x0000, CommandField, CStoreRequest));
                store.addElement(u16Element(0x0000, MessageId, 7));
                store.addElement(u16Element(0x0000, Priority, 0));
                store.addElement(u16Element(0x0000, CommandDataSetType, 0x0000));
                store.addElement(textElement(0x0000, AffectedSopInstanceUid, uidValue(instance)));
                std::unique_ptr<ObjectDataSet> object(makeDataSet({instance, "GOT^ONE", 64}));
                peer.send(commandPdu(storeContext, dimse::implicitBytes(store)) +
                          dataSetPdu(storeContext, dimse::implicitBytes(*object)));
                std::unique_ptr<CommandSet> answer = peer.nextCommand();
                if (!answer || answer->findU16(0x0000, MessageIdBeingRespondedTo) != 7) return;
                storeStatus = answer->findU16(0x0000, Status);
            }
            interrupt();
            peer.send(go);
            if (!peer.nextMessage(cancelMessage) || !cancelMessage.command) return;
            cancel = dimse::decodeCommand(cancelMessage.bytes);
            peer.send(commandPdu(operationContext, retrieveResponse(row.model, row.responseField, operationId, StatusCancel, false,
                                                     row.responseField == CFindResponse ? -1 : 1,
                                                     row.responseField == CFindResponse ? -1 : 1)) +
                      association::releaseResponse);
        };
        TemporaryDirectory scratch;
        const uint16_t port = platform::freeLocalPort();
        AnsweringPeer peer(port, {connection});
        std::vector<std::string> command = {DICOMTK_PATH};
        command.insert(command.end(), row.arguments.begin(), row.arguments.end());
        if (get) command.insert(command.end(), {"--out", scratch.file("out")});
        command.insert(command.end(), {"127.0.0.1", std::to_string(port)});
        ChildProcess process;
        ASSERT_TRUE(process.start(command));
        child = process.pid();
        const int status = process.wait(runSeconds);
        peer.finish();
        EXPECT_EQ(status, 130) << process.out() << process.err();
        EXPECT_TRUE(contains(process.out(), row.outputLine)) << process.out();
        EXPECT_EQ(process.err(),
                  "dicomtk: 127.0.0.1:" + std::to_string(port) + ": cancelled (Ctrl-C), final status 0xFE00\n");
        ASSERT_TRUE(cancel != nullptr) << "no C-CANCEL-RQ";
        EXPECT_EQ(cancel->findU16(0x0000, CommandField), CCancelRequest);
        EXPECT_EQ(cancel->findU16(0x0000, MessageIdBeingRespondedTo), operationId);
        EXPECT_EQ(cancel->findU16(0x0000, CommandDataSetType), NoDataSet);
        EXPECT_EQ(cancelMessage.contextId, operationContext);
        ASSERT_EQ(peer.received.size(), 1u);
        EXPECT_EQ(dimse::pduTypesIn(peer.received[0]).back(), 0x05);
        // Exactly one C-CANCEL-RQ.
        int cancels = 0;
        for (const dimse::Message& message : dimse::messagesIn(peer.received[0])) {
            std::unique_ptr<CommandSet> decoded = message.command ? dimse::decodeCommand(message.bytes) : nullptr;
            if (decoded && decoded->findU16(0x0000, CommandField) == CCancelRequest) ++cancels;
        }
        EXPECT_EQ(cancels, 1);
        if (get) {
            EXPECT_EQ(storeStatus, StatusSuccess);
            EXPECT_EQ(namesIn(scratch.file("out")), std::vector<std::string>{instance + ".dcm"});
        }
    }
}
