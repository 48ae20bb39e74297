#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "WireTestSupport.h"
#include "network/AssociationPdus.h"

namespace {

// A-ASSOCIATE-RQ from "ABC" to "ANY-SCP": the DICOM application context,
// context 1 (verification, implicit VR little endian), and user information
// with maximum length 16384 and the names "TEVAR/gcc2.5.8/DECMIPS/ZRN" and
// "0.1B/WIN32".
const uint8_t verificationRequest[] = {
    0x01, 0x00,              // PDU type A-ASSOCIATE-RQ, reserved
    0x00, 0x00, 0x00, 0xC7,  // PDU length 199
    0x00, 0x01,              // protocol version 1
    0x00, 0x00,              // reserved
    'A', 'N', 'Y', '-', 'S', 'C', 'P', 0, 0, 0, 0, 0, 0, 0, 0, 0,  // called AE title "ANY-SCP"
    'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // calling AE title "ABC"
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                // reserved
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                // reserved
    0x10, 0x00, 0x00, 0x15,  // application context item, length 21
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '3', '.', '1', '.', '1', '.', '1',
    0x20, 0x00, 0x00, 0x2E,  // presentation context item, length 46
    0x01, 0x00, 0x00, 0x00,  //   context ID 1, reserved, reserved, reserved
    0x30, 0x00, 0x00, 0x11,  //   abstract syntax, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '1',  // verification
    0x40, 0x00, 0x00, 0x11,  //   transfer syntax, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2',  // implicit VR LE
    0x50, 0x00, 0x00, 0x34,  // user information item, length 52
    0x51, 0x00, 0x00, 0x04,  //   maximum length, length 4
    0x00, 0x00, 0x40, 0x00,  //     16384
    0x52, 0x00, 0x00, 0x1A,  //   implementation class UID, length 26
    'T', 'E', 'V', 'A', 'R', '/', 'g', 'c', 'c', '2', '.', '5', '.', '8', '/',  // "TEVAR/gcc2.5.8/"
    'D', 'E', 'C', 'M', 'I', 'P', 'S', '/', 'Z', 'R', 'N',                      // "DECMIPS/ZRN"
    0x55, 0x00, 0x00, 0x0A,                                                     //   version name, length 10
    '0', '.', '1', 'B', '/', 'W', 'I', 'N', '3', '2',                           // "0.1B/WIN32"
};

// Where the items of verificationRequest start.
constexpr size_t applicationContextAt = 74, contextAt = 99, userInformationAt = 149, versionNameAt = 191;

// The A-ASSOCIATE-AC answering it: context 1 accepted.
const uint8_t verificationAccept[] = {
    0x02, 0x00,              // PDU type A-ASSOCIATE-AC, reserved
    0x00, 0x00, 0x00, 0xB2,  // PDU length 178
    0x00, 0x01,              // protocol version 1
    0x00, 0x00,              // reserved
    'A', 'N', 'Y', '-', 'S', 'C', 'P', 0, 0, 0, 0, 0, 0, 0, 0, 0,  // called AE title "ANY-SCP"
    'A', 'B', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // calling AE title "ABC"
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                // reserved
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                // reserved
    0x10, 0x00, 0x00, 0x15,  // application context item, length 21
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '3', '.', '1', '.', '1', '.', '1',
    0x21, 0x00, 0x00, 0x19,  // presentation context result item, length 25
    0x01, 0x00, 0x00, 0x00,  //   context ID 1, reserved, result acceptance, reserved
    0x40, 0x00, 0x00, 0x11,  //   transfer syntax, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2',  // implicit VR LE
    0x50, 0x00, 0x00, 0x34,  // user information item, length 52
    0x51, 0x00, 0x00, 0x04,  //   maximum length, length 4
    0x00, 0x00, 0x40, 0x00,  //     16384
    0x52, 0x00, 0x00, 0x1A,  //   implementation class UID, length 26
    'T', 'E', 'V', 'A', 'R', '/', 'g', 'c', 'c', '2', '.', '5', '.', '8', '/',  // "TEVAR/gcc2.5.8/"
    'D', 'E', 'C', 'M', 'I', 'P', 'S', '/', 'Z', 'R', 'N',                      // "DECMIPS/ZRN"
    0x55, 0x00, 0x00, 0x0A,                                                     //   version name, length 10
    '0', '.', '1', 'B', '/', 'W', 'I', 'N', '3', '2',                           // "0.1B/WIN32"
};

constexpr size_t acceptUserInformationAt = 128;

// Role selection for PET image storage (27 characters): SCU and SCP.
const uint8_t petRoleSubItem[] = {
    0x54, 0x00,  // sub-item type role selection, reserved
    0x00, 0x1F,  // length 31
    0x00, 0x1B,  // UID length 27
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  // "1.2.840.10008."
    '5', '.', '1', '.', '4', '.', '1', '.', '1', '.', '1', '2', '8',       // "5.1.4.1.1.128"
    0x01,                                                                  // SCU role
    0x01,                                                                  // SCP role
};

// A top-level transfer syntax item, which has no place in a PDU.
const uint8_t strayTransferSyntaxItem[] = {
    0x40, 0x00, 0x00, 0x11,  // transfer syntax item, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2',
};

const uint8_t releaseRequest[] = {
    0x05, 0x00,              // PDU type A-RELEASE-RQ, reserved
    0x00, 0x00, 0x00, 0x04,  // PDU length 4
    0x00, 0x00, 0x00, 0x00,  // reserved
};
const uint8_t releaseResponse[] = {
    0x06, 0x00,              // PDU type A-RELEASE-RP, reserved
    0x00, 0x00, 0x00, 0x04,  // PDU length 4
    0x00, 0x00, 0x00, 0x00,  // reserved
};
const uint8_t abortAsSent[] = {
    0x07, 0x00,              // PDU type A-ABORT, reserved
    0x00, 0x00, 0x00, 0x04,  // PDU length 4
    0x00, 0x00,              // reserved, reserved
    0x03,                    // source: this system always says 3
    0x01,                    // reason 1
};
const uint8_t rejectCalledTitleNotRecognised[] = {
    0x03, 0x00,              // PDU type A-ASSOCIATE-RJ, reserved
    0x00, 0x00, 0x00, 0x04,  // PDU length 4
    0x00,                    // reserved
    0x01,                    // result: rejected permanent
    0x01,                    // source: service user
    0x07,                    // reason: called AE title not recognised
};

std::vector<uint8_t> withU16(std::vector<uint8_t> bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
    return bytes;
}

std::vector<uint8_t> withPduLength(std::vector<uint8_t> bytes, uint32_t length) {
    for (int index = 0; index < 4; ++index) bytes[2 + index] = static_cast<uint8_t>(length >> (24 - 8 * index));
    return bytes;
}

uint32_t pduLengthOf(const std::vector<uint8_t>& bytes) {
    return static_cast<uint32_t>(bytes[2]) << 24 | static_cast<uint32_t>(bytes[3]) << 16 |
           static_cast<uint32_t>(bytes[4]) << 8 | bytes[5];
}

// Inserts bytes into the PDU and grows its PDU length to match.
std::vector<uint8_t> inserted(std::vector<uint8_t> bytes, size_t at, const std::vector<uint8_t>& extra) {
    bytes.insert(bytes.begin() + at, extra.begin(), extra.end());
    return withPduLength(bytes, pduLengthOf(bytes) + static_cast<uint32_t>(extra.size()));
}

UserInformationItem tevarInformation() {
    UserInformationItem information;
    information.setMaximumLength(MaximumLengthItem(16384));
    information.implementationClassUid.setValue("TEVAR/gcc2.5.8/DECMIPS/ZRN");
    information.implementationVersionName.setValue("0.1B/WIN32");
    return information;
}

void expectTitle(const char* field, const char* title) {
    EXPECT_STREQ(field, title);
    for (size_t index = std::strlen(title); index <= 16; ++index) EXPECT_EQ(field[index], '\0') << index;
}

void expectTevarInformation(UserInformationItem& information) {
    EXPECT_EQ(information.maximumLengthValue(), 16384u);
    EXPECT_EQ(information.implementationClassUid.value, UidValue("TEVAR/gcc2.5.8/DECMIPS/ZRN"));
    EXPECT_EQ(information.implementationVersionName.value, UidValue("0.1B/WIN32"));
}

// Where a failed read leaves the stream.
enum class Stop {
    atPduEnd,     // the whole PDU, as its length says, is consumed
    afterLength,  // the PDU was refused on its length; nothing after it was read
};

struct Variant {
    std::string what;
    std::vector<uint8_t> bytes;
    Stop stop;
};

// Reads each variant, followed by the sentinel, with read (type byte, then
// readBody): it must fail and leave the stream where the variant says.
template <typename Pdu>
void expectEachFails(const std::vector<Variant>& variants) {
    for (const Variant& variant : variants) {
        SCOPED_TRACE(::testing::Message() << variant.what << " (" << variant.bytes.size() << " bytes)");
        WireStream stream(withSentinel(variant.bytes));
        Pdu pdu;
        EXPECT_EQ(pdu.read(&stream), 0);
        const size_t consumed = variant.stop == Stop::afterLength ? 6 : 6 + pduLengthOf(variant.bytes);
        ASSERT_LE(consumed, variant.bytes.size());
        EXPECT_EQ(stream.unread(), variant.bytes.size() - consumed + 1);
    }
}

// The fixture cut after every byte: the PDU never completes, and the read
// fails without a value taken from the failed stream.
template <typename Pdu>
void expectEveryCutFails(const std::vector<uint8_t>& bytes) {
    for (size_t size = 0; size < bytes.size(); ++size) {
        SCOPED_TRACE(::testing::Message() << "cut to " << size << " bytes");
        WireStream stream(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
        Pdu pdu;
        EXPECT_EQ(pdu.read(&stream), 0);
    }
}

// The variants that A-ASSOCIATE-RQ and -AC share, from a fixture whose user
// information item starts at informationAt.
std::vector<Variant> associateVariants(const std::vector<uint8_t>& good, size_t informationAt) {
    const uint32_t length = pduLengthOf(good);
    const size_t contextStart = contextAt;
    return {
        {"PDU length 0", withPduLength(good, 0), Stop::afterLength},
        {"PDU length 67, below the fixed part", withPduLength(good, 67), Stop::afterLength},
        {"PDU length beyond 1 MiB", withPduLength(good, (1u << 20) + 1), Stop::afterLength},
        {"PDU length 0xFFFFFFFF", withPduLength(good, 0xFFFFFFFFu), Stop::afterLength},
        {"PDU length one short: the last item is cut", withPduLength(good, length - 1), Stop::atPduEnd},
        {"PDU length cuts the user information header",
         withPduLength(good, static_cast<uint32_t>(informationAt - 6 + 3)), Stop::atPduEnd},
        {"PDU length ends after the fixed part and one type byte",
         withPduLength(good, static_cast<uint32_t>(applicationContextAt - 6 + 1)), Stop::atPduEnd},
        {"one stray byte after the items", inserted(good, good.size(), {0x50}), Stop::atPduEnd},
        {"three stray bytes after the items", inserted(good, good.size(), {0x50, 0x00, 0x00}), Stop::atPduEnd},
        {"application context of 65 characters", withU16(good, applicationContextAt + 2, 65), Stop::atPduEnd},
        {"application context beyond the PDU", withU16(good, applicationContextAt + 2, 0xFFFF), Stop::atPduEnd},
        {"context item one byte longer than its sub-items", withU16(good, contextStart + 2, good[contextStart + 3] + 1),
         Stop::atPduEnd},
        {"context item beyond the PDU", withU16(good, contextStart + 2, 0xFFFF), Stop::atPduEnd},
        {"context item of length 0", withU16(good, contextStart + 2, 0), Stop::atPduEnd},
        {"user information beyond the PDU", withU16(good, informationAt + 2, 0x35), Stop::atPduEnd},
        {"maximum length of length 5", withU16(good, informationAt + 6, 5), Stop::atPduEnd},
        {"an unknown top-level item type", [&] {
             std::vector<uint8_t> bytes = good;
             bytes[informationAt] = 0x60;
             return bytes;
         }(), Stop::atPduEnd},
        {"a second PDU's header in place of an item", [&] {
             std::vector<uint8_t> bytes = good;
             bytes[applicationContextAt] = good[0];
             return bytes;
         }(), Stop::atPduEnd},
    };
}

}  // namespace

// ---- A-ASSOCIATE-RQ ----

TEST(AssociateRequestPdu, EncodesOneVerificationContext) {
    // Nothing is sized beforehand: write sizes every item itself.
    AssociateRequestPdu pdu("ABC", "ANY-SCP");
    pdu.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    PresentationContextItem context(AbstractSyntaxItem("1.2.840.10008.1.1"), TransferSyntaxItem("1.2.840.10008.1.2"));
    context.contextId = 1;
    ASSERT_EQ(pdu.appendPresentationContext(context), 1);
    pdu.setUserInformation(tevarInformation());
    WireStream stream;
    EXPECT_EQ(pdu.write(&stream), 1);
    EXPECT_EQ(pdu.pduLength, 199u);
    EXPECT_EQ(pdu.encodedSize(), 205u);
    EXPECT_EQ(stream.output, bytesOf(verificationRequest));
}

TEST(AssociateRequestPdu, DecodesOneVerificationContext) {
    WireStream stream(withSentinel(bytesOf(verificationRequest)));
    AssociateRequestPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    EXPECT_EQ(pdu.pduType, 0x01);
    EXPECT_EQ(pdu.pduLength, 199u);
    EXPECT_EQ(pdu.protocolVersion, 1);
    expectTitle(pdu.calledAeTitle, "ANY-SCP");
    expectTitle(pdu.callingAeTitle, "ABC");
    for (uint8_t byte : pdu.reserved3) EXPECT_EQ(byte, 0);
    EXPECT_EQ(pdu.applicationContext.value, UidValue("1.2.840.10008.3.1.1.1"));
    ASSERT_EQ(pdu.presentationContexts.count(), 1u);
    PresentationContextItem* context = pdu.presentationContextAt(0);
    EXPECT_EQ(context->contextId, 1);
    EXPECT_EQ(context->abstractSyntax.value, UidValue("1.2.840.10008.1.1"));
    ASSERT_EQ(context->transferSyntaxCount(), 1u);
    EXPECT_EQ(context->transferSyntaxAt(0)->value, UidValue("1.2.840.10008.1.2"));
    expectTevarInformation(pdu.userInformation);
    EXPECT_EQ(pdu.encodedSize(), 205u);
    expectOnlySentinelLeft(stream);
}

TEST(AssociateRequestPdu, RoundTripsSeveralContexts) {
    AssociateRequestPdu sent("STORESCU", "ARCHIVE");
    sent.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    const char* sopClasses[] = {"1.2.840.10008.5.1.4.1.1.2", "1.2.840.10008.5.1.4.1.1.4", "1.2.840.10008.1.1"};
    uint8_t id = 1;
    for (const char* sopClass : sopClasses) {
        PresentationContextItem context(AbstractSyntaxItem(sopClass), TransferSyntaxItem("1.2.840.10008.1.2.1"));
        context.appendTransferSyntax(TransferSyntaxItem("1.2.840.10008.1.2"));
        context.contextId = id;
        id = static_cast<uint8_t>(id + 2);
        sent.appendPresentationContext(context);
    }
    sent.setUserInformation(tevarInformation());
    WireStream wire;
    sent.write(&wire);

    WireStream stream(withSentinel(wire.output));
    AssociateRequestPdu received;
    ASSERT_EQ(received.read(&stream), 1);
    ASSERT_EQ(received.presentationContexts.count(), 3u);
    for (uint32_t index = 0; index < 3; ++index) {
        EXPECT_EQ(received.presentationContextAt(index)->contextId, 1 + 2 * index);
        EXPECT_EQ(received.presentationContextAt(index)->abstractSyntax.value, UidValue(sopClasses[index]));
        EXPECT_EQ(received.presentationContextAt(index)->transferSyntaxCount(), 2u);
    }
    WireStream again;
    received.write(&again);
    EXPECT_EQ(again.output, wire.output);
    expectOnlySentinelLeft(stream);
}

TEST(AssociateRequestPdu, WriteResizesItemsChangedSinceTheLastWrite) {
    AssociateRequestPdu pdu("ABC", "ANY-SCP");
    pdu.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    pdu.appendPresentationContext(
        PresentationContextItem(AbstractSyntaxItem("1.2.840.10008.1.1"), TransferSyntaxItem("1.2.840.10008.1.2")));
    pdu.setUserInformation(tevarInformation());
    WireStream first;
    pdu.write(&first);
    pdu.presentationContextAt(0)->transferSyntaxAt(0)->setValue("1.2.840.10008.1.2.4.50");
    pdu.userInformation.implementationVersionName.setValue("");
    WireStream second;
    pdu.write(&second);
    EXPECT_EQ(second.output.size(), first.output.size() + 5 - 10);
    WireStream stream(withSentinel(second.output));
    AssociateRequestPdu received;
    ASSERT_EQ(received.read(&stream), 1);
    EXPECT_EQ(received.presentationContextAt(0)->transferSyntaxAt(0)->value, UidValue("1.2.840.10008.1.2.4.50"));
    expectOnlySentinelLeft(stream);
}

TEST(AssociateRequestPdu, SetsAeTitlesOfUpToSixteenCharacters) {
    struct Case {
        const char* title;
        int accepted;
    };
    const Case cases[] = {
        {"", 1}, {"A", 1}, {"ABCDEFGHIJKLMNOP", 1}, {"ABCDEFGHIJKLMNOPQ", 0}, {nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title != nullptr ? c.title : "null");
        AssociateRequestPdu pdu("CALLING", "CALLED");
        EXPECT_EQ(pdu.setCalledAeTitle(c.title), c.accepted);
        EXPECT_EQ(pdu.setCallingAeTitle(c.title), c.accepted);
        expectTitle(pdu.calledAeTitle, c.accepted ? c.title : "CALLED");
        expectTitle(pdu.callingAeTitle, c.accepted ? c.title : "CALLING");
    }
    // Sent as the characters and zero bytes up to 16, never space-padded.
    AssociateRequestPdu pdu("ABC", "ABCDEFGHIJKLMNOP");
    WireStream stream;
    pdu.write(&stream);
    ASSERT_GE(stream.output.size(), 42u);
    EXPECT_EQ(std::string(stream.output.begin() + 10, stream.output.begin() + 26), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(std::string(stream.output.begin() + 26, stream.output.begin() + 42),
              std::string("ABC") + std::string(13, '\0'));
}

TEST(AssociateRequestPdu, ReadsARoleSelectionAndKeepsIt) {
    std::vector<uint8_t> bytes = inserted(bytesOf(verificationRequest), versionNameAt, bytesOf(petRoleSubItem));
    bytes = withU16(bytes, userInformationAt + 2, 52 + 35);
    WireStream stream(withSentinel(bytes));
    AssociateRequestPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    EXPECT_EQ(pdu.pduLength, 234u);
    EXPECT_EQ(pdu.userInformation.extraLength, 0u);
    ASSERT_EQ(pdu.userInformation.roleSelections.count(), 1u);
    EXPECT_EQ(pdu.userInformation.roleSelections.at(0)->element.sopClassUid, UidValue("1.2.840.10008.5.1.4.1.1.128"));
    expectTevarInformation(pdu.userInformation);
    EXPECT_EQ(pdu.encodedSize(), bytes.size());
    expectOnlySentinelLeft(stream);
}

TEST(AssociateRequestPdu, IsSentAgainWithTheLengthOfWhatItHolds) {
    // A received request keeps the role selection and no copy of the
    // sub-items it skipped; written again it holds what it kept, and its
    // lengths say so.
    std::vector<uint8_t> bytes = inserted(bytesOf(verificationRequest), versionNameAt, bytesOf(petRoleSubItem));
    bytes = withU16(bytes, userInformationAt + 2, 52 + 35);
    // An asynchronous operations window sub-item (maximum 1 invoked, 1 performed).
    const std::vector<uint8_t> window = {0x53, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x01};
    std::vector<uint8_t> skipped = inserted(bytes, versionNameAt, window);
    skipped = withU16(skipped, userInformationAt + 2, 52 + 35 + 8);
    WireStream stream(skipped);
    AssociateRequestPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    EXPECT_EQ(pdu.userInformation.extraLength, 8u);
    WireStream again;
    pdu.write(&again);
    ASSERT_GE(again.output.size(), 6u);
    EXPECT_EQ(pduLengthOf(again.output), again.output.size() - 6);
    EXPECT_EQ(again.output, withPduLength(bytes, 234));
}

TEST(AssociateRequestPdu, AStrayTopLevelItemFailsAfterTheItemsBeforeIt) {
    const std::vector<uint8_t> bytes =
        inserted(bytesOf(verificationRequest), userInformationAt, bytesOf(strayTransferSyntaxItem));
    WireStream stream(withSentinel(bytes));
    AssociateRequestPdu pdu;
    EXPECT_EQ(pdu.read(&stream), 0);
    EXPECT_EQ(pdu.applicationContext.value, UidValue("1.2.840.10008.3.1.1.1"));
    ASSERT_EQ(pdu.presentationContexts.count(), 1u);
    EXPECT_EQ(pdu.presentationContextAt(0)->abstractSyntax.value, UidValue("1.2.840.10008.1.1"));
    expectOnlySentinelLeft(stream);  // read to its stated end
}

TEST(AssociateRequestPdu, MalformedRequestsFailAndStopAtTheirEnd) {
    const std::vector<uint8_t> good = bytesOf(verificationRequest);
    std::vector<Variant> variants = associateVariants(good, userInformationAt);
    variants.push_back({"a result item in a request", [&] {
                            std::vector<uint8_t> bytes = good;
                            bytes[contextAt] = 0x21;
                            return bytes;
                        }(),
                        Stop::atPduEnd});
    variants.push_back({"a transfer syntax beyond its context", withU16(good, contextAt + 31, 0x12), Stop::atPduEnd});
    expectEachFails<AssociateRequestPdu>(variants);
    expectEveryCutFails<AssociateRequestPdu>(good);
}

TEST(AssociateRequestPdu, ReadingAnotherRequestKeepsNothingOfThePrevious) {
    // The association service reads every request into the same object.
    std::vector<uint8_t> first = inserted(bytesOf(verificationRequest), versionNameAt, bytesOf(petRoleSubItem));
    first = withU16(first, userInformationAt + 2, 52 + 35);
    // The second peer sends neither a version name nor a role selection.
    std::vector<uint8_t> second = bytesOf(verificationRequest);
    second.erase(second.begin() + versionNameAt, second.end());
    second = withU16(withPduLength(second, 199 - 14), userInformationAt + 2, 52 - 14);
    // The third one has neither an application context nor user information.
    std::vector<uint8_t> third = bytesOf(verificationRequest);
    third.erase(third.begin() + userInformationAt, third.end());
    third.erase(third.begin() + applicationContextAt, third.begin() + contextAt);
    third = withPduLength(third, 199 - 56 - 25);
    WireStream stream(withSentinel(concatenated(concatenated(first, second), third)));
    AssociateRequestPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    pdu.emptyPresentationContexts();
    ASSERT_EQ(pdu.read(&stream), 1);
    EXPECT_EQ(pdu.userInformation.implementationVersionName.value.size(), 0u);
    EXPECT_EQ(pdu.userInformation.roleSelections.count(), 0u);
    EXPECT_EQ(pdu.userInformation.extraLength, 0u);
    EXPECT_EQ(pdu.userInformation.maximumLengthValue(), 16384u);
    EXPECT_EQ(pdu.presentationContexts.count(), 1u);
    pdu.emptyPresentationContexts();
    ASSERT_EQ(pdu.read(&stream), 1);
    EXPECT_EQ(pdu.applicationContext.value.size(), 0u);
    EXPECT_EQ(pdu.userInformation.maximumLengthValue(), 0u);  // no maximum announced
    EXPECT_EQ(pdu.userInformation.implementationClassUid.value.size(), 0u);
    EXPECT_EQ(pdu.presentationContexts.count(), 1u);
    expectOnlySentinelLeft(stream);
}

// ---- A-ASSOCIATE-AC ----

TEST(AssociateAcceptPdu, EncodesOneAcceptedContext) {
    AssociateAcceptPdu pdu("ABC", "ANY-SCP");
    pdu.setApplicationContext(UidValue("1.2.840.10008.3.1.1.1"));
    PresentationContextResultItem result(TransferSyntaxItem("1.2.840.10008.1.2"));
    result.contextId = 1;
    result.resultReason = ContextAccepted;
    ASSERT_EQ(pdu.appendPresentationContext(result), 1);
    pdu.setUserInformation(tevarInformation());
    WireStream stream;
    EXPECT_EQ(pdu.write(&stream), 1);
    EXPECT_EQ(pdu.pduLength, 178u);
    EXPECT_EQ(stream.output, bytesOf(verificationAccept));
}

TEST(AssociateAcceptPdu, DecodesAndRoundTripsOneAcceptedContext) {
    WireStream stream(withSentinel(bytesOf(verificationAccept)));
    AssociateAcceptPdu pdu;
    ASSERT_EQ(pdu.read(&stream), 1);
    EXPECT_EQ(pdu.pduType, 0x02);
    EXPECT_EQ(pdu.pduLength, 178u);
    expectTitle(pdu.calledAeTitle, "ANY-SCP");
    expectTitle(pdu.callingAeTitle, "ABC");
    EXPECT_EQ(pdu.applicationContext.value, UidValue("1.2.840.10008.3.1.1.1"));
    ASSERT_EQ(pdu.presentationContexts.count(), 1u);
    EXPECT_EQ(pdu.presentationContextAt(0)->contextId, 1);
    EXPECT_EQ(pdu.presentationContextAt(0)->resultReason, ContextAccepted);
    EXPECT_EQ(pdu.presentationContextAt(0)->transferSyntax.value, UidValue("1.2.840.10008.1.2"));
    expectTevarInformation(pdu.userInformation);
    expectOnlySentinelLeft(stream);
    WireStream again;
    pdu.write(&again);
    EXPECT_EQ(again.output, bytesOf(verificationAccept));
}

TEST(AssociateAcceptPdu, MalformedAcceptsFailAndStopAtTheirEnd) {
    const std::vector<uint8_t> good = bytesOf(verificationAccept);
    std::vector<Variant> variants = associateVariants(good, acceptUserInformationAt);
    variants.push_back({"a proposed context in an accept", [&] {
                            std::vector<uint8_t> bytes = good;
                            bytes[contextAt] = 0x20;
                            return bytes;
                        }(),
                        Stop::atPduEnd});
    variants.push_back({"bytes after the accepted transfer syntax",
                        withU16(inserted(good, acceptUserInformationAt, {0x40, 0x00, 0x00}), contextAt + 2, 28),
                        Stop::atPduEnd});
    expectEachFails<AssociateAcceptPdu>(variants);
    expectEveryCutFails<AssociateAcceptPdu>(good);
}

// ---- A-ASSOCIATE-RJ, A-RELEASE-RQ, A-RELEASE-RP, A-ABORT ----

TEST(ShortPdus, EncodeToTheirTenBytes) {
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>()> encode;
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {"release request", [] { ReleaseRequestPdu pdu; return encoded(pdu); }, bytesOf(releaseRequest)},
        {"release response", [] { ReleaseResponsePdu pdu; return encoded(pdu); }, bytesOf(releaseResponse)},
        {"abort as sent", [] { AbortPdu pdu; return encoded(pdu); }, bytesOf(abortAsSent)},
        {"reject 1, 1, 7", [] { AssociateRejectPdu pdu(1, 1, 7); return encoded(pdu); },
         bytesOf(rejectCalledTitleNotRecognised)},
        {"reject by default", [] { AssociateRejectPdu pdu; return encoded(pdu); },
         {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x03, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.encode(), c.expected);
    }
    AbortPdu abort;
    abort.pduLength = 99;
    EXPECT_EQ(abort.encodedSize(), 10u);
    EXPECT_EQ(abort.pduLength, 4u);
}

TEST(ShortPdus, DecodeAndRoundTripTheirFields) {
    {
        WireStream stream(withSentinel(bytesOf(rejectCalledTitleNotRecognised)));
        AssociateRejectPdu pdu;
        ASSERT_EQ(pdu.read(&stream), 1);
        EXPECT_EQ(pdu.pduType, 0x03);
        EXPECT_EQ(pdu.result, 1);
        EXPECT_EQ(pdu.source, 1);
        EXPECT_EQ(pdu.reason, 7);
        EXPECT_EQ(encoded(pdu), bytesOf(rejectCalledTitleNotRecognised));
        expectOnlySentinelLeft(stream);
    }
    {
        // A peer's abort: service provider, unexpected PDU.
        const std::vector<uint8_t> bytes = {0x07, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02, 0x02};
        WireStream stream(withSentinel(bytes));
        AbortPdu pdu;
        ASSERT_EQ(pdu.read(&stream), 1);
        EXPECT_EQ(pdu.source, 2);
        EXPECT_EQ(pdu.reason, 2);
        EXPECT_EQ(encoded(pdu), bytes);
        expectOnlySentinelLeft(stream);
    }
    {
        // Reserved bytes are kept as read.
        const std::vector<uint8_t> bytes = {0x06, 0x00, 0x00, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
        WireStream stream(withSentinel(bytes));
        ReleaseResponsePdu pdu;
        ASSERT_EQ(pdu.read(&stream), 1);
        EXPECT_EQ(pdu.reserved2, 0x01020304u);
        EXPECT_EQ(encoded(pdu), bytes);
        expectOnlySentinelLeft(stream);
    }
    {
        // The association reads the type byte itself and then the body.
        const std::vector<uint8_t> bytes = bytesOf(releaseRequest);
        WireStream stream(withSentinel(std::vector<uint8_t>(bytes.begin() + 1, bytes.end())));
        ReleaseRequestPdu pdu;
        ASSERT_EQ(pdu.readBody(&stream), 1);
        EXPECT_EQ(pdu.pduLength, 4u);
        expectOnlySentinelLeft(stream);
    }
}

TEST(ShortPdus, ALengthOtherThanFourOrACutPduFails) {
    struct Fixture {
        const char* what;
        std::vector<uint8_t> bytes;
        std::function<int(WireStream&)> read;
    };
    const Fixture fixtures[] = {
        {"reject", bytesOf(rejectCalledTitleNotRecognised),
         [](WireStream& s) { AssociateRejectPdu p; return p.read(&s); }},
        {"release request", bytesOf(releaseRequest), [](WireStream& s) { ReleaseRequestPdu p; return p.read(&s); }},
        {"release response", bytesOf(releaseResponse), [](WireStream& s) { ReleaseResponsePdu p; return p.read(&s); }},
        {"abort", bytesOf(abortAsSent), [](WireStream& s) { AbortPdu p; return p.read(&s); }},
    };
    for (const Fixture& fixture : fixtures) {
        for (uint32_t length : {0u, 3u, 5u, 6u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(::testing::Message() << fixture.what << ", PDU length " << length);
            WireStream stream(withSentinel(withPduLength(fixture.bytes, length)));
            EXPECT_EQ(fixture.read(stream), 0);
            EXPECT_EQ(stream.unread(), 4u + 1u);  // nothing after the length was read
        }
        for (size_t size = 0; size < fixture.bytes.size(); ++size) {
            SCOPED_TRACE(::testing::Message() << fixture.what << ", cut to " << size << " bytes");
            WireStream stream(std::vector<uint8_t>(fixture.bytes.begin(), fixture.bytes.begin() + size));
            EXPECT_EQ(fixture.read(stream), 0);
        }
    }
}
