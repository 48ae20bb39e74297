#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CapturedPdus.h"
#include "WireTestSupport.h"
#include "network/AssociationPdus.h"

// The association PDUs of DCMTK's echoscu, storescu and storescp (see
// CapturedPdus.h) decode into the fields the tools sent and encode back to
// the same bytes, but for the user-information sub-items this system keeps
// no copy of.

namespace {

const char* const implicitLittle = "1.2.840.10008.1.2";
const char* const explicitLittle = "1.2.840.10008.1.2.1";
const char* const explicitBig = "1.2.840.10008.1.2.2";
const char* const jpegBaseline = "1.2.840.10008.1.2.4.50";
const char* const ctImage = "1.2.840.10008.5.1.4.1.1.2";
const char* const mrImage = "1.2.840.10008.5.1.4.1.1.4";
const char* const secondaryCapture = "1.2.840.10008.5.1.4.1.1.7";

struct ProposedContext {
    uint8_t id;
    const char* abstractSyntax;
    std::vector<const char*> transferSyntaxes;
};

struct AnsweredContext {
    uint8_t id;
    uint8_t result;
    const char* transferSyntax;
};

uint16_t u16At(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void putU16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

// The PDU as this system sends it again: the user-information item without
// the sub-items other than maximum length, implementation class UID and
// version name, and the lengths to match.
std::vector<uint8_t> asSentAgain(const std::vector<uint8_t>& pdu) {
    std::vector<uint8_t> result(pdu.begin(), pdu.begin() + 74);
    for (size_t at = 74; at < pdu.size();) {
        const size_t end = at + 4 + u16At(pdu, at + 2);
        if (pdu[at] != 0x50) {
            result.insert(result.end(), pdu.begin() + at, pdu.begin() + end);
        } else {
            const size_t header = result.size();
            result.insert(result.end(), {0x50, 0x00, 0x00, 0x00});
            for (size_t sub = at + 4; sub < end;) {
                const size_t subEnd = sub + 4 + u16At(pdu, sub + 2);
                if (pdu[sub] == 0x51 || pdu[sub] == 0x52 || pdu[sub] == 0x54 || pdu[sub] == 0x55) {
                    result.insert(result.end(), pdu.begin() + sub,
                                  pdu.begin() + subEnd);
                }
                sub = subEnd;
            }
            putU16(result, header + 2, static_cast<uint32_t>(result.size() - header - 4));
        }
        at = end;
    }
    const uint32_t length = static_cast<uint32_t>(result.size() - 6);
    for (int index = 0; index < 4; ++index) result[2 + index] = static_cast<uint8_t>(length >> (24 - 8 * index));
    return result;
}

template <typename Pdu>
void expectDcmtkHeader(Pdu& pdu, const char* calling) {
    EXPECT_EQ(std::string(pdu.calledAeTitle), "ANY-SCP         ");  // DCMTK pads its titles with spaces
    const std::string padded = std::string(calling) + std::string(16 - std::string(calling).size(), ' ');
    EXPECT_EQ(std::string(pdu.callingAeTitle), padded);
    EXPECT_EQ(pdu.protocolVersion, 1);
    EXPECT_EQ(pdu.applicationContext.value, UidValue("1.2.840.10008.3.1.1.1"));
    EXPECT_EQ(pdu.userInformation.maximumLengthValue(), 16384u);
    EXPECT_EQ(pdu.userInformation.implementationClassUid.value, UidValue("1.2.276.0.7230010.3.0.3.6.7"));
    EXPECT_EQ(pdu.userInformation.implementationVersionName.value, UidValue("OFFIS_DCMTK_367"));
}

// Reads a captured request, checks its contexts and what it sends again.
void expectRequest(const std::vector<uint8_t>& capture, const char* calling,
                   const std::vector<ProposedContext>& contexts, uint32_t extraLength) {
    WireStream stream(withSentinel(capture));
    AssociateRequestPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    expectOnlySentinelLeft(stream);
    EXPECT_EQ(pdu.pduLength, capture.size() - 6);
    expectDcmtkHeader(pdu, calling);
    ASSERT_EQ(pdu.presentationContexts.count(), contexts.size());
    for (uint32_t index = 0; index < contexts.size(); ++index) {
        SCOPED_TRACE(::testing::Message() << "context " << index);
        PresentationContextItem* context = pdu.presentationContextAt(index);
        EXPECT_EQ(context->contextId, contexts[index].id);
        EXPECT_EQ(context->resultReason, 0xFF);  // DCMTK fills the reserved byte so
        EXPECT_EQ(context->abstractSyntax.value, UidValue(contexts[index].abstractSyntax));
        ASSERT_EQ(context->transferSyntaxCount(), contexts[index].transferSyntaxes.size());
        for (uint32_t choice = 0; choice < context->transferSyntaxCount(); ++choice) {
            EXPECT_EQ(context->transferSyntaxAt(choice)->value, UidValue(contexts[index].transferSyntaxes[choice]));
        }
    }
    EXPECT_EQ(pdu.userInformation.extraLength, extraLength);
    EXPECT_EQ(pdu.encodedSize(), capture.size());
    WireStream again;
    EXPECT_EQ(pdu.write(&again), 1);
    EXPECT_EQ(again.output, asSentAgain(capture));
}

void expectAccept(const std::vector<uint8_t>& capture, const std::vector<AnsweredContext>& contexts) {
    WireStream stream(withSentinel(capture));
    AssociateAcceptPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    expectOnlySentinelLeft(stream);
    expectDcmtkHeader(pdu, "STORESCU");
    ASSERT_EQ(pdu.presentationContexts.count(), contexts.size());
    for (uint32_t index = 0; index < contexts.size(); ++index) {
        SCOPED_TRACE(::testing::Message() << "context " << index);
        PresentationContextResultItem* context = pdu.presentationContextAt(index);
        EXPECT_EQ(context->contextId, contexts[index].id);
        EXPECT_EQ(context->resultReason, contexts[index].result);
        EXPECT_EQ(context->transferSyntax.value, UidValue(contexts[index].transferSyntax));
    }
    EXPECT_EQ(pdu.userInformation.extraLength, 0u);
    EXPECT_EQ(pdu.encodedSize(), capture.size());
    WireStream again;
    EXPECT_EQ(pdu.write(&again), 1);
    EXPECT_EQ(again.output, capture);
}

struct Capture {
    const char* name;
    std::vector<uint8_t> bytes;
    bool request;
};

const std::vector<Capture>& everyCapture() {
    static const std::vector<Capture> captures = {
        {"echoscuRequest", bytesOf(captured::echoscuRequest), true},
        {"storescuRequest", bytesOf(captured::storescuRequest), true},
        {"storescuUserIdentityRequest", bytesOf(captured::storescuUserIdentityRequest), true},
        {"storescuRoleSelectionRequest", bytesOf(captured::storescuRoleSelectionRequest), true},
        {"storescpAccept", bytesOf(captured::storescpAccept), false},
        {"storescpMixedAccept", bytesOf(captured::storescpMixedAccept), false},
    };
    return captures;
}

int readCapture(const Capture& capture, WireStream& stream) {
    if (capture.request) {
        AssociateRequestPdu pdu;
        return pdu.read(&stream);
    }
    AssociateAcceptPdu pdu;
    return pdu.read(&stream);
}

}  // namespace

TEST(CapturedPdus, EchoscuRequestsVerification) {
    const std::vector<uint8_t> capture = bytesOf(captured::echoscuRequest);
    expectRequest(capture, "ECHOSCU", {{1, "1.2.840.10008.1.1", {implicitLittle}}}, 0);
    EXPECT_EQ(asSentAgain(capture), capture);  // nothing to leave out: sent again byte for byte
}

TEST(CapturedPdus, StorescuProposesTwoContextsForEachSopClass) {
    const std::vector<uint8_t> capture = bytesOf(captured::storescuRequest);
    expectRequest(capture, "STORESCU",
                  {
                      {1, ctImage, {explicitLittle}},
                      {3, ctImage, {explicitBig, implicitLittle}},
                      {5, mrImage, {explicitLittle}},
                      {7, mrImage, {explicitBig, implicitLittle}},
                      {9, secondaryCapture, {explicitLittle}},
                      {11, secondaryCapture, {explicitBig, implicitLittle}},
                  },
                  0);
    EXPECT_EQ(asSentAgain(capture), capture);
}

TEST(CapturedPdus, StorescuUserIdentityIsSkippedAndCounted) {
    const std::vector<uint8_t> capture = bytesOf(captured::storescuUserIdentityRequest);
    expectRequest(capture, "STORESCU", {{1, ctImage, {explicitLittle}}, {3, ctImage, {explicitBig, implicitLittle}}},
                  22);
    EXPECT_EQ(asSentAgain(capture).size(), capture.size() - 22);
}

TEST(CapturedPdus, StorescuRoleSelectionsAreKeptAndSentAgainByteForByte) {
    const std::vector<uint8_t> capture = bytesOf(captured::storescuRoleSelectionRequest);
    expectRequest(capture, "STORESCU",
                  {
                      {1, ctImage, {explicitLittle, implicitLittle}},
                      {3, mrImage, {jpegBaseline}},
                      {5, "1.2.3.4.5.6.7", {explicitLittle, implicitLittle}},
                  },
                  0);
    EXPECT_EQ(asSentAgain(capture), capture);
    WireStream stream(capture);
    AssociateRequestPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    ASSERT_EQ(pdu.userInformation.roleSelections.count(), 2u);
    const RoleSelectionItem& ct = pdu.userInformation.roleSelections.at(0)->element;
    const RoleSelectionItem& mr = pdu.userInformation.roleSelections.at(1)->element;
    EXPECT_EQ(ct.sopClassUid, UidValue(ctImage));
    EXPECT_EQ(ct.scuRole, 1);
    EXPECT_EQ(ct.scpRole, 0);
    EXPECT_EQ(mr.sopClassUid, UidValue(mrImage));
    EXPECT_EQ(mr.scuRole, 1);
    EXPECT_EQ(mr.scpRole, 1);
}

TEST(CapturedPdus, StorescpAcceptsEveryContextOfStorescu) {
    expectAccept(bytesOf(captured::storescpAccept), {
                                                        {1, ContextAccepted, explicitLittle},
                                                        {3, ContextAccepted, explicitBig},
                                                        {5, ContextAccepted, explicitLittle},
                                                        {7, ContextAccepted, explicitBig},
                                                        {9, ContextAccepted, explicitLittle},
                                                        {11, ContextAccepted, explicitBig},
                                                    });
}

TEST(CapturedPdus, StorescpRefusesAnUnknownSopClassAndJpegOnly) {
    expectAccept(bytesOf(captured::storescpMixedAccept), {
                                                             {1, ContextAccepted, explicitLittle},
                                                             {3, 4, implicitLittle},  // transfer syntaxes not supported
                                                             {5, ContextAbstractSyntaxNotSupported, implicitLittle},
                                                         });
}

TEST(CapturedPdus, EveryCorruptedByteLeavesTheStreamAtThePduEnd) {
    // Whatever a byte after the PDU length becomes, the reader fails or
    // succeeds within the PDU and stops at its end.
    for (const Capture& capture : everyCapture()) {
        for (size_t at = 0; at < capture.bytes.size(); ++at) {
            if (at >= 2 && at < 6) continue;  // the PDU length itself
            for (uint8_t replacement : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(capture.bytes[at] + 1)}) {
                SCOPED_TRACE(::testing::Message() << capture.name << ", byte " << at << " set to " << int(replacement));
                std::vector<uint8_t> bytes = capture.bytes;
                bytes[at] = replacement;
                WireStream stream(withSentinel(bytes));
                readCapture(capture, stream);
                ASSERT_EQ(stream.unread(), 1u);
            }
        }
    }
}

TEST(CapturedPdus, EveryCutPduFails) {
    for (const Capture& capture : everyCapture()) {
        for (size_t size = 0; size < capture.bytes.size(); ++size) {
            SCOPED_TRACE(::testing::Message() << capture.name << " cut to " << size << " bytes");
            WireStream stream(std::vector<uint8_t>(capture.bytes.begin(), capture.bytes.begin() + size));
            ASSERT_EQ(readCapture(capture, stream), 0);
        }
    }
}
