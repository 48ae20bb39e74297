#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "WireTestSupport.h"
#include "network/PresentationContextItems.h"
#include "network/UserInformationItem.h"

namespace {

// Proposed context 1: verification with implicit VR little endian.
const uint8_t verificationContext[] = {
    0x20, 0x00,              // item type presentation context, reserved
    0x00, 0x2E,              // item length 46
    0x01, 0x00, 0x00, 0x00,  // context ID 1, reserved, result/reason 0, reserved
    0x30, 0x00, 0x00, 0x11,  // abstract syntax, reserved, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '1',  // verification
    0x40, 0x00, 0x00, 0x11,  // transfer syntax, reserved, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2',  // implicit VR LE
};

// Answer to context 1: accepted with implicit VR little endian.
const uint8_t acceptedContext[] = {
    0x21, 0x00,              // item type presentation context result, reserved
    0x00, 0x19,              // item length 25
    0x01, 0x00, 0x00, 0x00,  // context ID 1, reserved, result acceptance, reserved
    0x40, 0x00, 0x00, 0x11,  // transfer syntax, reserved, length 17
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2',  // implicit VR LE
};

// Answer to context 3 without a transfer syntax: abstract syntax not supported.
const uint8_t refusedContextWithoutTransferSyntax[] = {
    0x21, 0x00,              // item type presentation context result, reserved
    0x00, 0x04,              // item length 4
    0x03, 0x00, 0x03, 0x00,  // context ID 3, reserved, result 3, reserved
};

// Maximum length 16384.
const uint8_t maximumLengthSubItem[] = {
    0x51, 0x00,              // sub-item type maximum length, reserved
    0x00, 0x04,              // length 4
    0x00, 0x00, 0x40, 0x00,  // 16384
};

// Implementation class UID "TEVAR/gcc2.5.8/DECMIPS/ZRN" (26 characters).
const uint8_t classUidSubItem[] = {
    0x52, 0x00,  // sub-item type implementation class UID, reserved
    0x00, 0x1A,  // length 26
    'T', 'E', 'V', 'A', 'R', '/', 'g', 'c', 'c', '2', '.', '5', '.', '8', '/',  // "TEVAR/gcc2.5.8/"
    'D', 'E', 'C', 'M', 'I', 'P', 'S', '/', 'Z', 'R', 'N',                      // "DECMIPS/ZRN"
};

// Implementation version name "0.1B/WIN32".
const uint8_t versionNameSubItem[] = {
    0x55, 0x00,                                         // sub-item type implementation version name, reserved
    0x00, 0x0A,                                         // length 10
    '0', '.', '1', 'B', '/', 'W', 'I', 'N', '3', '2',  // "0.1B/WIN32"
};

// The three sub-items above in one user-information item.
const uint8_t userInformation[] = {
    0x50, 0x00,              // item type user information, reserved
    0x00, 0x34,              // item length 52
    0x51, 0x00, 0x00, 0x04,  // maximum length, reserved, length 4
    0x00, 0x00, 0x40, 0x00,  //   16384
    0x52, 0x00, 0x00, 0x1A,  // implementation class UID, reserved, length 26
    'T', 'E', 'V', 'A', 'R', '/', 'g', 'c', 'c', '2', '.', '5', '.', '8', '/',  // "TEVAR/gcc2.5.8/"
    'D', 'E', 'C', 'M', 'I', 'P', 'S', '/', 'Z', 'R', 'N',                      // "DECMIPS/ZRN"
    0x55, 0x00, 0x00, 0x0A,                                                     // version name, length 10
    '0', '.', '1', 'B', '/', 'W', 'I', 'N', '3', '2',                           // "0.1B/WIN32"
};

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

// Role selection for CT image storage (25 characters): SCU only.
const uint8_t ctRoleSubItem[] = {
    0x54, 0x00,  // sub-item type role selection, reserved
    0x00, 0x1D,  // length 29
    0x00, 0x19,  // UID length 25
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  // "1.2.840.10008."
    '5', '.', '1', '.', '4', '.', '1', '.', '1', '.', '2',                 // "5.1.4.1.1.2"
    0x01,                                                                  // SCU role
    0x00,                                                                  // SCP role
};

// Sub-items this system does not keep.
const uint8_t asynchronousWindowSubItem[] = {
    0x53, 0x00,  // sub-item type asynchronous operations window, reserved
    0x00, 0x04,  // length 4
    0x00, 0x01,  // invoked operations 1
    0x00, 0x01,  // performed operations 1
};
const uint8_t extendedNegotiationSubItem[] = {
    0x56, 0x00,  // sub-item type SOP class extended negotiation, reserved
    0x00, 0x1C,  // length 28
    0x00, 0x19,  // UID length 25
    '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.',  // "1.2.840.10008."
    '5', '.', '1', '.', '4', '.', '1', '.', '1', '.', '2',                 // "5.1.4.1.1.2"
    0x01,                                                                  // application information
};
const uint8_t userIdentitySubItem[] = {
    0x58, 0x00,                          // sub-item type user identity, reserved
    0x00, 0x0C,                          // length 12
    0x01, 0x00,                          // identity type user name, no response requested
    0x00, 0x06,                          // primary field length 6
    'r', 'e', 'a', 'd', 'e', 'r',        // "reader"
    0x00, 0x00,                          // secondary field length 0
};
const uint8_t emptyUnknownSubItem[] = {
    0x7F, 0x00,  // sub-item type unknown, reserved
    0x00, 0x00,  // length 0
};

std::vector<uint8_t> userInformationOf(std::initializer_list<std::vector<uint8_t>> subItems) {
    std::vector<uint8_t> body;
    for (const auto& subItem : subItems) body.insert(body.end(), subItem.begin(), subItem.end());
    std::vector<uint8_t> item = {0x50, 0x00, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    return concatenated(item, body);
}

std::vector<uint8_t> withItemLength(std::vector<uint8_t> bytes, size_t at, uint16_t length) {
    bytes[at] = static_cast<uint8_t>(length >> 8);
    bytes[at + 1] = static_cast<uint8_t>(length);
    return bytes;
}

std::vector<uint8_t> cut(const std::vector<uint8_t>& bytes, size_t size) {
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + size);
}

struct Variant {
    std::string what;
    std::vector<uint8_t> bytes;
};

std::vector<Variant> joined(std::vector<Variant> first, const std::vector<Variant>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The fixture cut after every byte.
std::vector<Variant> cutsOf(const std::vector<uint8_t>& bytes) {
    std::vector<Variant> variants;
    for (size_t size = 1; size < bytes.size(); ++size) variants.push_back({"cut short", cut(bytes, size)});
    return variants;
}

// Reads each variant as the PDU reader does: the type byte, then readBody
// within the bytes the PDU has left (the variant's own size), then the PDU's
// skip of its rest. Each must fail, and the stream must stand at the
// variant's end, before the sentinel.
template <typename Item>
void expectEachFailsWithinItsBound(const std::vector<Variant>& variants) {
    for (const Variant& variant : variants) {
        SCOPED_TRACE(::testing::Message() << variant.what << " (" << variant.bytes.size() << " bytes)");
        WireStream stream(withSentinel(variant.bytes));
        WireReader enclosing(&stream, static_cast<uint32_t>(variant.bytes.size()));
        Item item;
        uint8_t type = 0;
        EXPECT_TRUE(enclosing.u8(type));
        EXPECT_EQ(item.readBody(enclosing), 0);
        expectSentinelUnread(stream);
        enclosing.skipRest();
        expectOnlySentinelLeft(stream);
    }
}

}  // namespace

// ---- PresentationContextItem (0x20) ----

TEST(PresentationContextItem, EncodesVerificationWithImplicitLittleEndian) {
    PresentationContextItem item(AbstractSyntaxItem("1.2.840.10008.1.1"), TransferSyntaxItem("1.2.840.10008.1.2"));
    item.contextId = 1;
    EXPECT_EQ(item.encodedSize(), 50u);
    EXPECT_EQ(item.itemLength, 46u);
    WireStream stream;
    EXPECT_EQ(item.write(&stream), 1);
    EXPECT_EQ(stream.output, bytesOf(verificationContext));
}

TEST(PresentationContextItem, DecodesVerificationWithImplicitLittleEndian) {
    WireStream stream(withSentinel(bytesOf(verificationContext)));
    PresentationContextItem item;
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.itemType, 0x20);
    EXPECT_EQ(item.itemLength, 46u);
    EXPECT_EQ(item.contextId, 1);
    EXPECT_EQ(item.resultReason, 0);
    EXPECT_EQ(item.abstractSyntax.itemType, 0x30);
    EXPECT_EQ(item.abstractSyntax.value, UidValue("1.2.840.10008.1.1"));
    ASSERT_EQ(item.transferSyntaxCount(), 1u);
    EXPECT_EQ(item.transferSyntaxAt(0)->value, UidValue("1.2.840.10008.1.2"));
    EXPECT_EQ(item.transferSyntaxAt(1), nullptr);
    expectOnlySentinelLeft(stream);
}

TEST(PresentationContextItem, RoundTripsTransferSyntaxesInProposalOrder) {
    const char* syntaxes[] = {"1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2", "1.2.840.10008.1.2",
                              "1.2.840.10008.1.2.4.50"};
    PresentationContextItem sent;
    sent.contextId = 255;
    sent.resultReason = 0xFF;  // as some peers send the reserved byte
    sent.setAbstractSyntax(AbstractSyntaxItem("1.2.840.10008.5.1.4.1.1.2"));
    for (const char* syntax : syntaxes) ASSERT_EQ(sent.appendTransferSyntax(TransferSyntaxItem(syntax)), 1);
    const std::vector<uint8_t> bytes = encoded(sent);

    WireStream stream(withSentinel(bytes));
    PresentationContextItem received;
    ASSERT_EQ(received.read(&stream), 1);
    EXPECT_EQ(received.contextId, 255);
    EXPECT_EQ(received.resultReason, 0xFF);
    ASSERT_EQ(received.transferSyntaxCount(), 4u);
    for (uint32_t index = 0; index < 4; ++index) {
        EXPECT_EQ(received.transferSyntaxAt(index)->value, UidValue(syntaxes[index])) << index;
    }
    EXPECT_EQ(encoded(received), bytes);
    expectOnlySentinelLeft(stream);
}

TEST(PresentationContextItem, WithoutTransferSyntaxWritesItsHeadAndAbstractSyntaxButReportsFailure) {
    PresentationContextItem item;
    item.contextId = 1;
    item.setAbstractSyntax(AbstractSyntaxItem("1.2.840.10008.1.1"));
    EXPECT_EQ(item.encodedSize(), 29u);
    WireStream stream;
    EXPECT_EQ(item.write(&stream), 0);
    const std::vector<uint8_t> fixture = bytesOf(verificationContext);
    std::vector<uint8_t> expected = withItemLength(cut(fixture, 29), 2, 25);
    EXPECT_EQ(stream.output, expected);
}

TEST(PresentationContextItem, NewItemsDrawOddIdsAndCopiesKeepTheirSources) {
    PresentationContextItem first, second;
    EXPECT_EQ(first.contextId % 2, 1);
    EXPECT_EQ(second.contextId % 2, 1);
    EXPECT_NE(first.contextId, second.contextId);
    first.appendTransferSyntax(TransferSyntaxItem("1.2.840.10008.1.2"));
    PresentationContextItem copy(first);
    EXPECT_EQ(copy.contextId, first.contextId);
    EXPECT_EQ(copy.transferSyntaxCount(), 1u);
    second = first;
    EXPECT_EQ(second.contextId, first.contextId);
    EXPECT_EQ(second.transferSyntaxCount(), 1u);
}

TEST(PresentationContextItem, TakesEverySubItemAfterTheFirstAsATransferSyntax) {
    std::vector<uint8_t> bytes = bytesOf(verificationContext);
    bytes[29] = 0x30;  // the second sub-item carries the abstract syntax type
    WireStream stream(bytes);
    PresentationContextItem item;
    ASSERT_EQ(item.read(&stream), 1);
    ASSERT_EQ(item.transferSyntaxCount(), 1u);
    EXPECT_EQ(item.transferSyntaxAt(0)->itemType, 0x30);
    EXPECT_EQ(item.transferSyntaxAt(0)->value, UidValue("1.2.840.10008.1.2"));
}

TEST(PresentationContextItem, MalformedItemsFailAndStopAtTheirEnd) {
    const std::vector<uint8_t> good = bytesOf(verificationContext);
    std::vector<uint8_t> longAbstractSyntax = {0x20, 0x00, 0x00, 0x49, 0x01, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x41};
    longAbstractSyntax.insert(longAbstractSyntax.end(), 65, '1');  // 65 characters, no transfer syntax
    std::vector<Variant> variants = {
        {"item length 0", withItemLength(good, 2, 0)},
        {"item length 3, shorter than its head", withItemLength(good, 2, 3)},
        {"only the head, no abstract syntax", withItemLength(cut(good, 8), 2, 4)},
        {"item length cuts the transfer syntax", withItemLength(good, 2, 45)},
        {"item length beyond the enclosing bytes", withItemLength(good, 2, 47)},
        {"item length 0xFFFF", withItemLength(good, 2, 0xFFFF)},
        {"one stray byte after the transfer syntax", withItemLength(concatenated(good, {0x40}), 2, 47)},
        {"three stray bytes after the transfer syntax", withItemLength(concatenated(good, {0x40, 0x00, 0x00}), 2, 49)},
        {"abstract syntax beyond the item", withItemLength(good, 10, 0x40)},
        {"transfer syntax beyond the item", withItemLength(good, 31, 0x12)},
        {"abstract syntax of 65 characters", longAbstractSyntax},
    };
    for (const Variant& variant : cutsOf(good)) variants.push_back(variant);
    expectEachFailsWithinItsBound<PresentationContextItem>(variants);
}

// ---- PresentationContextResultItem (0x21) ----

TEST(PresentationContextResultItem, EncodesAnAcceptedContext) {
    PresentationContextResultItem item(TransferSyntaxItem("1.2.840.10008.1.2"));
    EXPECT_EQ(item.resultReason, ContextNoReason);  // until the answer is decided
    item.contextId = 1;
    item.resultReason = ContextAccepted;
    EXPECT_EQ(item.encodedSize(), 29u);
    EXPECT_EQ(item.itemLength, 25u);
    WireStream stream;
    EXPECT_EQ(item.write(&stream), 1);
    EXPECT_EQ(stream.output, bytesOf(acceptedContext));
}

TEST(PresentationContextResultItem, DecodesAndRoundTripsAnAcceptedContext) {
    WireStream stream(withSentinel(bytesOf(acceptedContext)));
    PresentationContextResultItem item;
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.itemType, 0x21);
    EXPECT_EQ(item.contextId, 1);
    EXPECT_EQ(item.resultReason, ContextAccepted);
    EXPECT_EQ(item.transferSyntax.value, UidValue("1.2.840.10008.1.2"));
    EXPECT_EQ(encoded(item), bytesOf(acceptedContext));
    expectOnlySentinelLeft(stream);
}

TEST(PresentationContextResultItem, MayComeWithoutItsTransferSyntax) {
    // The accept reader reuses one result item for every context: a refused
    // context without a transfer syntax must not keep the previous one's.
    const std::vector<uint8_t> refused = bytesOf(refusedContextWithoutTransferSyntax);
    WireStream stream(withSentinel(concatenated(bytesOf(acceptedContext), refused)));
    PresentationContextResultItem item;
    ASSERT_EQ(item.read(&stream), 1);
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.contextId, 3);
    EXPECT_EQ(item.resultReason, ContextAbstractSyntaxNotSupported);
    EXPECT_EQ(item.transferSyntax.value.size(), 0u);
    expectOnlySentinelLeft(stream);
}

TEST(PresentationContextResultItem, MalformedItemsFailAndStopAtTheirEnd) {
    const std::vector<uint8_t> good = bytesOf(acceptedContext);
    std::vector<Variant> variants = {
        {"item length 2, shorter than its head", withItemLength(good, 2, 2)},
        {"item length cuts the transfer syntax", withItemLength(good, 2, 24)},
        {"item length beyond the enclosing bytes", withItemLength(good, 2, 26)},
        {"one stray byte after the transfer syntax", withItemLength(concatenated(good, {0x40}), 2, 26)},
        {"three stray bytes after the transfer syntax", withItemLength(concatenated(good, {0x40, 0x00, 0x00}), 2, 28)},
        {"a second transfer syntax",
         withItemLength(concatenated(good, std::vector<uint8_t>(good.begin() + 8, good.end())), 2, 25 + 21)},
        {"transfer syntax beyond the item", withItemLength(good, 10, 0x12)},
        {"transfer syntax of 0xFFFF characters", withItemLength(good, 10, 0xFFFF)},
    };
    for (const Variant& variant : cutsOf(good)) variants.push_back(variant);
    expectEachFailsWithinItsBound<PresentationContextResultItem>(variants);
}

// ---- MaximumLengthItem (0x51) ----

TEST(MaximumLengthItem, EncodesDecodesAndRoundTrips) {
    MaximumLengthItem sent(16384);
    EXPECT_EQ(sent.encodedSize(), 8u);
    EXPECT_EQ(encoded(sent), bytesOf(maximumLengthSubItem));

    WireStream stream(withSentinel(bytesOf(maximumLengthSubItem)));
    MaximumLengthItem received;
    ASSERT_EQ(received.read(&stream), 1);
    EXPECT_EQ(received.value(), 16384u);
    EXPECT_EQ(received.itemLength, 4u);
    expectOnlySentinelLeft(stream);

    for (uint32_t value : {0u, 1u, 0xFFFFFFFFu}) {
        MaximumLengthItem item(value);
        WireStream again(encoded(item));
        MaximumLengthItem back(7);
        ASSERT_EQ(back.read(&again), 1);
        EXPECT_EQ(back.value(), value);
    }
}

TEST(MaximumLengthItem, ALengthOtherThanFourIsMalformed) {
    std::vector<Variant> variants;
    for (uint16_t length : {0, 2, 3, 5, 8}) {
        std::vector<uint8_t> bytes = {0x51, 0x00, 0x00, static_cast<uint8_t>(length)};
        bytes.insert(bytes.end(), length, 0x40);
        variants.push_back({"length " + std::to_string(length), bytes});
    }
    variants.push_back({"length 0xFFFF", withItemLength(bytesOf(maximumLengthSubItem), 2, 0xFFFF)});
    for (const Variant& variant : cutsOf(bytesOf(maximumLengthSubItem))) variants.push_back(variant);
    expectEachFailsWithinItsBound<MaximumLengthItem>(variants);
}

// ---- RoleSelectionItem (0x54) ----

TEST(RoleSelectionItem, EncodesDecodesAndRoundTrips) {
    RoleSelectionItem sent;
    sent.itemType = 0x00;  // write always sends the role selection type
    sent.sopClassUid.assign("1.2.840.10008.5.1.4.1.1.2");
    sent.scuRole = 1;
    sent.scpRole = 0;
    EXPECT_EQ(sent.encodedSize(), 33u);
    EXPECT_EQ(sent.itemLength, 29u);
    EXPECT_EQ(encoded(sent), bytesOf(ctRoleSubItem));

    WireStream stream(withSentinel(bytesOf(petRoleSubItem)));
    RoleSelectionItem received;
    ASSERT_EQ(received.read(&stream), 1);
    EXPECT_EQ(received.itemLength, 31u);
    EXPECT_EQ(received.sopClassUid, UidValue("1.2.840.10008.5.1.4.1.1.128"));
    EXPECT_EQ(received.scuRole, 1);
    EXPECT_EQ(received.scpRole, 1);
    EXPECT_EQ(received.encodedSize(), 35u);
    EXPECT_EQ(encoded(received), bytesOf(petRoleSubItem));
    expectOnlySentinelLeft(stream);
}

TEST(RoleSelectionItem, MalformedItemsFailAndStopAtTheirEnd) {
    const std::vector<uint8_t> good = bytesOf(ctRoleSubItem);
    std::vector<uint8_t> longUid = {0x54, 0x00, 0x00, 0x45, 0x00, 0x41};  // length 69, UID length 65
    longUid.insert(longUid.end(), 65, '1');
    longUid.insert(longUid.end(), {0x01, 0x00});
    std::vector<Variant> variants = {
        {"UID length one more than fits", withItemLength(good, 4, 26)},
        {"UID length one less than the item holds", withItemLength(good, 4, 24)},
        {"UID length 0xFFFF", withItemLength(good, 4, 0xFFFF)},
        {"item length 2, only the UID length", withItemLength(cut(good, 6), 2, 2)},
        {"item length 0", withItemLength(cut(good, 4), 2, 0)},
        {"item length beyond the enclosing bytes", withItemLength(good, 2, 30)},
        {"UID of 65 characters", longUid},
    };
    for (const Variant& variant : cutsOf(good)) variants.push_back(variant);
    expectEachFailsWithinItsBound<RoleSelectionItem>(variants);
}

// ---- UserInformationItem (0x50) ----

TEST(UserInformationItem, EncodesMaximumLengthAndBothNames) {
    UserInformationItem item;
    item.setMaximumLength(MaximumLengthItem(16384));
    item.implementationClassUid.setValue("TEVAR/gcc2.5.8/DECMIPS/ZRN");
    item.implementationVersionName.setValue("0.1B/WIN32");
    EXPECT_EQ(item.encodedSize(), 56u);
    EXPECT_EQ(item.itemLength, 52u);
    EXPECT_EQ(encoded(item), bytesOf(userInformation));
    EXPECT_EQ(userInformationOf({bytesOf(maximumLengthSubItem), bytesOf(classUidSubItem), bytesOf(versionNameSubItem)}),
              bytesOf(userInformation));
}

TEST(UserInformationItem, DecodesAndRoundTripsMaximumLengthAndBothNames) {
    WireStream stream(withSentinel(bytesOf(userInformation)));
    UserInformationItem item;
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.itemType, 0x50);
    EXPECT_EQ(item.itemLength, 52u);
    EXPECT_EQ(item.maximumLengthValue(), 16384u);
    EXPECT_EQ(item.implementationClassUid.value, UidValue("TEVAR/gcc2.5.8/DECMIPS/ZRN"));
    EXPECT_EQ(item.implementationVersionName.value, UidValue("0.1B/WIN32"));
    EXPECT_EQ(item.extraLength, 0u);
    EXPECT_EQ(item.encodedSize(), 56u);
    EXPECT_EQ(encoded(item), bytesOf(userInformation));
    expectOnlySentinelLeft(stream);

    UserInformationItem copy;
    copy = item;
    EXPECT_EQ(encoded(copy), bytesOf(userInformation));
}

TEST(UserInformationItem, KeepsEveryRoleSelectionAndSendsThemAgainInPlace) {
    const std::vector<uint8_t> bytes =
        userInformationOf({bytesOf(maximumLengthSubItem), bytesOf(classUidSubItem), bytesOf(ctRoleSubItem),
                           bytesOf(petRoleSubItem), bytesOf(versionNameSubItem)});
    WireStream stream(withSentinel(bytes));
    UserInformationItem item;
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.extraLength, 0u);
    EXPECT_EQ(item.encodedSize(), bytes.size());
    EXPECT_EQ(item.itemLength, 52u + 33 + 35);
    ASSERT_EQ(item.roleSelections.count(), 2u);
    const RoleSelectionItem* pet = item.roleSelectionFor(UidValue("1.2.840.10008.5.1.4.1.1.128"));
    ASSERT_NE(pet, nullptr);
    EXPECT_EQ(pet->scuRole, 1);
    EXPECT_EQ(pet->scpRole, 1);
    const RoleSelectionItem* ct = item.roleSelectionFor(UidValue("1.2.840.10008.5.1.4.1.1.2"));
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(ct->scuRole, 1);
    EXPECT_EQ(ct->scpRole, 0);
    EXPECT_EQ(item.roleSelectionFor(UidValue("1.2.840.10008.5.1.4.1.1.4")), nullptr);
    EXPECT_EQ(item.implementationVersionName.value, UidValue("0.1B/WIN32"));
    expectOnlySentinelLeft(stream);
    // Sent again byte for byte, by the item and by a copy of it.
    EXPECT_EQ(encoded(item), bytes);
    UserInformationItem copy;
    copy = item;
    EXPECT_EQ(encoded(copy), bytes);
    UserInformationItem constructed(item);
    EXPECT_EQ(encoded(constructed), bytes);
}

TEST(UserInformationItem, AddedRoleSelectionsGoBetweenClassUidAndVersionName) {
    UserInformationItem item;
    item.setMaximumLength(MaximumLengthItem(16384));
    item.implementationClassUid.setValue("TEVAR/gcc2.5.8/DECMIPS/ZRN");
    item.implementationVersionName.setValue("0.1B/WIN32");
    RoleSelectionItem ct;
    ct.sopClassUid = UidValue("1.2.840.10008.5.1.4.1.1.2");
    ct.scuRole = 1;
    ASSERT_EQ(item.appendRoleSelection(ct), 1);
    EXPECT_EQ(encoded(item), userInformationOf({bytesOf(maximumLengthSubItem), bytesOf(classUidSubItem),
                                                bytesOf(ctRoleSubItem), bytesOf(versionNameSubItem)}));
}

TEST(UserInformationItem, SkipsUnknownSubItemsOneByOneAndReadsTheRest) {
    const std::vector<uint8_t> maximum = bytesOf(maximumLengthSubItem), uid = bytesOf(classUidSubItem),
                               version = bytesOf(versionNameSubItem), async = bytesOf(asynchronousWindowSubItem),
                               extended = bytesOf(extendedNegotiationSubItem), identity = bytesOf(userIdentitySubItem),
                               unknown = bytesOf(emptyUnknownSubItem), ct = bytesOf(ctRoleSubItem),
                               pet = bytesOf(petRoleSubItem);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t extraLength;
    };
    const Case cases[] = {
        {"asynchronous window last", userInformationOf({maximum, uid, version, async}), 8},
        {"asynchronous window before the version name", userInformationOf({maximum, uid, async, version}), 8},
        {"unknown sub-items first and between", userInformationOf({async, maximum, extended, uid, identity, version}),
         8 + 32 + 16},
        {"an empty sub-item of an unknown type", userInformationOf({maximum, unknown, uid, version, unknown}), 8},
        {"two role selections among unknown ones",
         userInformationOf({maximum, ct, uid, async, pet, version, identity}), 8 + 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WireStream stream(withSentinel(c.bytes));
        UserInformationItem item;
        ASSERT_EQ(item.read(&stream), 1);
        EXPECT_EQ(item.extraLength, c.extraLength);
        EXPECT_EQ(item.encodedSize(), c.bytes.size());
        EXPECT_EQ(item.maximumLengthValue(), 16384u);
        EXPECT_EQ(item.implementationClassUid.value, UidValue("TEVAR/gcc2.5.8/DECMIPS/ZRN"));
        EXPECT_EQ(item.implementationVersionName.value, UidValue("0.1B/WIN32"));
        expectOnlySentinelLeft(stream);
    }
}

TEST(UserInformationItem, WithoutAVersionNameItCountsFourBytesMoreThanItsWireSize) {
    // The item as sent always holds the version name, empty or not.
    const std::vector<uint8_t> bytes = userInformationOf({bytesOf(maximumLengthSubItem), bytesOf(classUidSubItem)});
    WireStream stream(withSentinel(bytes));
    UserInformationItem item;
    ASSERT_EQ(item.read(&stream), 1);
    EXPECT_EQ(item.implementationVersionName.value.size(), 0u);
    EXPECT_EQ(item.encodedSize(), bytes.size() + 4);
    expectOnlySentinelLeft(stream);
}

TEST(UserInformationItem, MalformedItemsFailAndStopAtTheirEnd) {
    const std::vector<uint8_t> maximum = bytesOf(maximumLengthSubItem), uid = bytesOf(classUidSubItem),
                               version = bytesOf(versionNameSubItem), good = bytesOf(userInformation);
    std::vector<uint8_t> longUid = {0x52, 0x00, 0x00, 0x41};
    longUid.insert(longUid.end(), 65, '1');
    // A malformed sub-item fails the item wherever it stands; one that only
    // runs beyond the item's end can do so only as the last.
    const std::vector<Variant> anywhere = {
        {"maximum length of length 2", {0x51, 0x00, 0x00, 0x02, 0x40, 0x00}},
        {"maximum length of length 5", {0x51, 0x00, 0x00, 0x05, 0x00, 0x00, 0x40, 0x00, 0x00}},
        {"class UID of 65 characters", longUid},
        {"role selection whose UID length does not fit", withItemLength(bytesOf(ctRoleSubItem), 4, 26)},
        {"role selection of 65 characters", withItemLength(withItemLength(concatenated(bytesOf(ctRoleSubItem),
                                                                                        std::vector<uint8_t>(40, '1')),
                                                                           2, 69),
                                                            4, 65)},
    };
    const std::vector<Variant> last = {
        {"class UID beyond the item", withItemLength(uid, 2, 27)},
        {"unknown sub-item beyond the item", {0x56, 0x00, 0x00, 0x09, 0x00, 0x01, 0x02}},
        {"one stray byte", {0x55}},
        {"two stray bytes", {0x53, 0x00}},
        {"three stray bytes", {0x51, 0x00, 0x00}},
    };
    std::vector<Variant> variants = {
        {"item length cuts the version name", withItemLength(good, 2, 51)},
        {"item length beyond the enclosing bytes", withItemLength(good, 2, 53)},
        {"item length 0xFFFF", withItemLength(good, 2, 0xFFFF)},
    };
    for (const Variant& bad : anywhere) {
        variants.push_back({bad.what + " first", userInformationOf({bad.bytes, maximum, uid, version})});
        variants.push_back({bad.what + " between", userInformationOf({maximum, bad.bytes, uid, version})});
    }
    for (const Variant& bad : joined(anywhere, last)) {
        variants.push_back({bad.what + " last", userInformationOf({maximum, uid, version, bad.bytes})});
    }
    for (const Variant& variant : cutsOf(good)) variants.push_back(variant);
    expectEachFailsWithinItsBound<UserInformationItem>(variants);
}
