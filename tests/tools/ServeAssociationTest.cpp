// What dicomtk serve says on the wire about associations it will not serve
// as asked, played against it by a scripted raw-socket peer on 127.0.0.1:
// a command it does not serve ends the association with A-ABORT, a
// transfer syntax UID with a trailing zero byte is no transfer syntax it
// knows, and an AE title it cannot carry stops it at start.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../network/AssociationFixtures.h"
#include "../support/ScriptedPeer.h"
#include "ServeSupport.h"

using namespace serving;
using association::Bytes;
using association::operator+;

namespace {

const char* const studyRootGet = "1.2.840.10008.5.1.4.1.2.2.3";
const char* const storageCommitment = "1.2.840.10008.1.20.1";
const char* const modalityWorklistFind = "1.2.840.10008.5.1.4.31";

// A command set or data set in implicit VR little endian.
Bytes implicitBytes(const std::vector<DataElement*>& elements) {
    CommandSet set;
    for (DataElement* element : elements) set.addElement(element);
    AssociationService codecs;
    ScriptedStream out;
    codecs.writeImplicitLittle(&set, &out);
    out.flush();
    return out.output;
}

// The A-ASSOCIATE-AC among the PDUs a peer received; false when the first
// PDU is none.
bool acceptOf(const std::vector<association::ReceivedPdu>& pdus, AssociateAcceptPdu& accept) {
    return !pdus.empty() && pdus[0].type == 0x02 && association::decode(pdus[0].bytes, accept) == 1;
}

}  // namespace

// A command serve does not serve, on a context it accepted (N-ACTION under
// Verification, C-ECHO-RSP as if serve had asked), ends the association
// with A-ABORT, not with a release: the peer is told the association
// failed, and serve says which command it was. A service serve does not
// provide (Storage Commitment, Modality Worklist) has its context rejected
// at negotiation, abstract syntax not supported.
TEST(StorageServer, UnservedCommandsEndTheAssociationWithAbort) {
    struct Case {
        const char* what;
        uint8_t context;
        Bytes command;
        Bytes dataSet;  // empty: none sent
        const char* serverSays;
    };
    const std::vector<Case> cases = {
        {"N-ACTION-RQ", 5,
         implicitBytes({textElement(0x0000, 0x0003, uidValue(verification)),
                        u16Element(0x0000, CommandField, 0x0130), u16Element(0x0000, MessageId, 3),
                        textElement(0x0000, 0x1001, uidValue("1.2.3")), u16Element(0x0000, 0x1008, 1),
                        u16Element(0x0000, CommandDataSetType, 0x0101)}),
         {},
         "command 0x0130 is not served; association aborted"},
        {"C-ECHO-RSP", 5,
         implicitBytes({textElement(0x0000, AffectedSopClassUid, uidValue(verification)),
                        u16Element(0x0000, CommandField, 0x8030), u16Element(0x0000, 0x0120, 3),
                        u16Element(0x0000, CommandDataSetType, 0x0101), u16Element(0x0000, 0x0900, 0)}),
         {},
         "command 0x8030 is not served; association aborted"},
    };
    TemporaryDirectory scratch;
    StorageServer server(scratch.file("store"));
    ASSERT_TRUE(server.ready()) << server.output();
    const Bytes request = association::requestBytes(
        {{1, studyRootGet, {implicitLittle}},
         {3, storageCommitment, {implicitLittle}},
         {5, verification, {implicitLittle}},
         {7, modalityWorklistFind, {implicitLittle}}},
        16384, "UNSERVED", "DICOMTK");
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        Bytes script = request + association::dataBytes({{row.context, 0x03, row.command}});
        if (!row.dataSet.empty()) script = script + association::dataBytes({{row.context, 0x02, row.dataSet}});
        ScriptedPeer peer(ScriptedPeer::Role::connect, server.port(), script, 10);
        peer.finish();
        const std::vector<association::ReceivedPdu> pdus = association::splitPdus(peer.received);
        AssociateAcceptPdu accept;
        ASSERT_TRUE(acceptOf(pdus, accept));
        bool contextAccepted = false;
        for (uint32_t index = 0; index < accept.presentationContexts.count(); ++index) {
            const PresentationContextResultItem* context = accept.presentationContextAt(index);
            if (context->contextId == row.context) contextAccepted = context->resultReason == ContextAccepted;
        }
        EXPECT_TRUE(contextAccepted) << "the command's context was not accepted";
        for (uint8_t unserved : {3, 7}) {
            uint8_t result = 0xFF;
            for (uint32_t index = 0; index < accept.presentationContexts.count(); ++index) {
                const PresentationContextResultItem* context = accept.presentationContextAt(index);
                if (context->contextId == unserved) result = context->resultReason;
            }
            EXPECT_EQ(result, 3) << "context " << int(unserved) << ": abstract syntax not supported expected";
        }
        ASSERT_EQ(pdus.size(), 2u);
        EXPECT_EQ(pdus[1].type, 0x07) << "A-ABORT expected, got PDU type " << int(pdus[1].type);
        EXPECT_EQ(pdus[1].bytes.size(), 10u);
        EXPECT_TRUE(peer.closedByOther);
        EXPECT_TRUE(server.waitFor(row.serverSays)) << server.output();
    }
    // serve goes on.
    const ToolRun echo = runDicomtk({"echo", "127.0.0.1", server.portText()});
    EXPECT_EQ(echo.status, 0) << echo.out << echo.err;
    EXPECT_EQ(server.stop(), 0);
}

// A transfer syntax UID proposed with a trailing zero byte (as a peer might
// pad it to even length) names no transfer syntax: its presentation context
// is rejected exactly as one proposing a UID serve does not know (the
// toolkit answers both "no reason", a provider rejection), or takes another
// transfer syntax proposed with it, while the other contexts are accepted.
TEST(StorageServer, TransferSyntaxWithATrailingZeroByteIsNotAccepted) {
    TemporaryDirectory scratch;
    StorageServer server(scratch.file("store"));
    ASSERT_TRUE(server.ready()) << server.output();
    // Each 'X' becomes a zero byte: the item lengths stay as encoded.
    Bytes request = association::requestBytes({{1, ctImageStorage, {"1.2.840.10008.1.2X"}},
                                               {3, mrImageStorage, {"1.2.840.10008.1.2.1X"}},
                                               {5, verification, {implicitLittle}},
                                               {7, secondaryCaptureStorage, {"1.2.840.10008.1.2X", explicitLittle}},
                                               {9, ctImageStorage, {"1.2.840.10008.1.2.99"}}},
                                              16384, "PADDED", "DICOMTK");
    ASSERT_EQ(std::count(request.begin(), request.end(), 'X'), 3);
    std::replace(request.begin(), request.end(), static_cast<uint8_t>('X'), static_cast<uint8_t>(0));
    ScriptedPeer peer(ScriptedPeer::Role::connect, server.port(), request + association::releaseRequest, 10);
    peer.finish();
    const std::vector<association::ReceivedPdu> pdus = association::splitPdus(peer.received);
    AssociateAcceptPdu accept;
    ASSERT_TRUE(acceptOf(pdus, accept)) << "no A-ASSOCIATE-AC";
    ASSERT_EQ(accept.presentationContexts.count(), 5u);
    auto answerFor = [&](uint8_t id) -> const PresentationContextResultItem* {
        for (uint32_t index = 0; index < accept.presentationContexts.count(); ++index) {
            if (accept.presentationContextAt(index)->contextId == id) return accept.presentationContextAt(index);
        }
        return nullptr;
    };
    // The context of a UID no codec has: the rejection every other must match.
    const PresentationContextResultItem* unknown = answerFor(9);
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->resultReason, ContextNoReason);
    struct Expected {
        uint8_t id;
        bool accepted;
        const char* transferSyntax;  // checked when accepted
    };
    const Expected expected[] = {{1, false, ""}, {3, false, ""}, {5, true, implicitLittle}, {7, true, explicitLittle}};
    for (const Expected& context : expected) {
        SCOPED_TRACE(int(context.id));
        const PresentationContextResultItem* found = answerFor(context.id);
        ASSERT_NE(found, nullptr);
        if (context.accepted) {
            EXPECT_EQ(found->resultReason, ContextAccepted);
            EXPECT_EQ(found->transferSyntax.value, UidValue(context.transferSyntax));
        } else {
            EXPECT_EQ(found->resultReason, unknown->resultReason);
        }
    }
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(pdus[1].type, 0x06) << "A-RELEASE-RP expected";
    EXPECT_EQ(server.stop(), 0);
}

// --aet takes an AE title of 1 to 16 characters: 16 serve answers to, 17
// or none stop it at start with one line naming the option, before it
// creates its folder or listens.
TEST(StorageServer, AeTitleOfMoreThanSixteenCharactersIsRefusedAtStart) {
    TemporaryDirectory scratch;
    const std::string sixteen = "SIXTEEN_CHARS_AE";
    StorageServer server(scratch.file("store"), {"--aet", sixteen});
    ASSERT_TRUE(server.ready()) << server.output() << server.process().err();
    EXPECT_TRUE(contains(server.output(), "as " + sixteen + ",")) << server.output();
    const ToolRun echo = runDicomtk({"echo", "-aec", sixteen, "127.0.0.1", server.portText()});
    EXPECT_EQ(echo.status, 0) << echo.out << echo.err;
    EXPECT_EQ(server.stop(), 0);

    for (const std::string& title : {sixteen + "X", std::string("SEVENTEEN_CHARS_A"), std::string()}) {
        SCOPED_TRACE("'" + title + "'");
        const std::string folder = scratch.file("refused");
        const ToolRun run = runDicomtk({"serve", "--port", std::to_string(platform::freeLocalPort()), "--store-dir",
                                        folder, "--aet", title});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
        EXPECT_TRUE(contains(run.err, "--aet")) << run.err;
        EXPECT_FALSE(std::filesystem::exists(folder));
    }
}
