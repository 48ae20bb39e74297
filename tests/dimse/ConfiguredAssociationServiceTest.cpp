#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../network/AssociationFixtures.h"
#include "../support/ScriptedPeer.h"
#include "../support/TemporaryFiles.h"
#include "dimse/ConfiguredAssociationService.h"

using namespace association;

namespace {

// A configuration file in a scratch directory, written byte for byte, and
// the service that read it.
class Configured {
public:
    explicit Configured(const std::string& text) : path_(directory_.file("service.cfg")) {
        writeFile(path_, std::vector<uint8_t>(text.begin(), text.end()));
        service = std::make_unique<ConfiguredAssociationService>(path_.c_str());
    }
    const std::string& path() const { return path_; }

    TemporaryDirectory directory_;
    std::string path_;
    std::unique_ptr<ConfiguredAssociationService> service;
};

// A 17-byte title field as the request carries it: 16 bytes, then a zero.
std::string titleField(const std::string& title) {
    std::string field = title;
    field.resize(16, ' ');
    return field;
}

int calling(ConfiguredAssociationService& service, const std::string& title) {
    return service.acceptCallingAeTitle(titleField(title).c_str());
}

int transfer(ConfiguredAssociationService& service, const char* uid) {
    return service.acceptTransferSyntax(TransferSyntaxItem(uid));
}

int abstractSyntax(ConfiguredAssociationService& service, const char* uid) {
    return service.acceptAbstractSyntax(AbstractSyntaxItem(uid));
}

std::vector<std::string> valuesOf(const ConfiguredAssociationService::ConfigurationList& list) {
    std::vector<std::string> values;
    for (uint32_t index = 0; index < list.count; ++index) values.push_back(list.values[index]);
    return values;
}

std::vector<std::string> firstFieldsOf(const ConfiguredAssociationService::ConfigurationList& list) {
    std::vector<std::string> values;
    for (uint32_t index = 0; index < list.count; ++index) values.push_back(list.firstFields[index]);
    return values;
}

uint32_t totalCount(const ConfiguredAssociationService& service) {
    return service.abstractSyntaxes.count + service.transferSyntaxes.count + service.applicationContexts.count +
           service.remoteAeTitles.count + service.localAeTitles.count;
}

}  // namespace

TEST(ConfiguredAssociationService, ReadsEachKeywordIntoItsListInFileOrder) {
    Configured file(
        "# acceptance policy\n"
        "scanner  CT1                      RemoteAE\n"
        "scanner2 MR1                      remoteae   extra fields are ignored\n"
        "me       ARCHIVE                  LocalAE\n"
        "dicom    1.2.840.10008.3.1.1.1    Application\n"
        "echo     1.2.840.10008.1.1        sop\n"
        "ct       1.2.840.10008.5.1.4.1.1.2 ABSTRACT\n"
        "explicit\t1.2.840.10008.1.2.1\ttransfer\n");
    ConfiguredAssociationService& service = *file.service;
    EXPECT_EQ(valuesOf(service.remoteAeTitles), (std::vector<std::string>{"CT1", "MR1"}));
    EXPECT_EQ(firstFieldsOf(service.remoteAeTitles), (std::vector<std::string>{"scanner", "scanner2"}));
    EXPECT_EQ(valuesOf(service.localAeTitles), (std::vector<std::string>{"ARCHIVE"}));
    EXPECT_EQ(valuesOf(service.applicationContexts), (std::vector<std::string>{"1.2.840.10008.3.1.1.1"}));
    // "sop" and "abstract" fill one list.
    EXPECT_EQ(valuesOf(service.abstractSyntaxes),
              (std::vector<std::string>{"1.2.840.10008.1.1", "1.2.840.10008.5.1.4.1.1.2"}));
    EXPECT_EQ(firstFieldsOf(service.abstractSyntaxes), (std::vector<std::string>{"echo", "ct"}));
    EXPECT_EQ(valuesOf(service.transferSyntaxes), (std::vector<std::string>{"1.2.840.10008.1.2.1"}));
}

TEST(ConfiguredAssociationService, KeywordsIgnoreLetterCaseButTitlesDoNot) {
    Configured file(
        "a SCANNER REMOTEAE\n"
        "b lower remoteae\n"
        "c Mixed rEmOtEaE\n");
    ConfiguredAssociationService& service = *file.service;
    ASSERT_EQ(service.remoteAeTitles.count, 3u);
    EXPECT_EQ(calling(service, "SCANNER"), 1);
    EXPECT_EQ(calling(service, "scanner"), 0);
    EXPECT_EQ(calling(service, "lower"), 1);
    EXPECT_EQ(calling(service, "LOWER"), 0);
    EXPECT_EQ(calling(service, "Mixed"), 1);
}

TEST(ConfiguredAssociationService, TitlesAreCutAtTheirFirstBlank) {
    Configured file("x CT1 RemoteAE\nx ABCDEFGHIJKLMNOPQ RemoteAE\n");
    ConfiguredAssociationService& service = *file.service;
    struct Case {
        std::string field;
        int accepted;
    };
    const Case cases[] = {
        {"CT1" + std::string(13, ' '), 1},  // padded with spaces, as titles travel
        {std::string("CT1\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 1},
        {"CT1\tXYZ", 1},
        {"CT1 XYZ", 1},
        {" CT1", 0},  // a leading blank leaves an empty title
        {"CT12", 0},
        {"CT", 0},
        {"ABCDEFGHIJKLMNOP", 0},  // the listed 17-character title never matches
    };
    for (const Case& c : cases) {
        std::string field = c.field;
        field.resize(16, ' ');
        EXPECT_EQ(service.acceptCallingAeTitle(field.c_str()), c.accepted) << '"' << c.field << '"';
    }
    EXPECT_EQ(service.acceptCallingAeTitle(nullptr), 0);
    // Called titles have their own list, empty here.
    EXPECT_EQ(service.acceptCalledAeTitle(titleField("ANYTHING").c_str()), 1);
}

TEST(ConfiguredAssociationService, CommentsOnlyInTheFirstColumnAndShortLinesAreSkipped) {
    Configured file(
        "# CT1 RemoteAE comment\n"
        "#x CT2 RemoteAE\n"
        "  # CT3 RemoteAE\n"  // "#" is the first field here
        "CT4 RemoteAE\n"      // two fields only
        "\n"
        "   \t  \n"
        "x CT5 RemoteTitle\n"  // no keyword
        "x CT6\n");
    ConfiguredAssociationService& service = *file.service;
    EXPECT_EQ(valuesOf(service.remoteAeTitles), (std::vector<std::string>{"CT3"}));
    EXPECT_EQ(firstFieldsOf(service.remoteAeTitles), (std::vector<std::string>{"#"}));
    EXPECT_EQ(totalCount(service), 1u);
}

TEST(ConfiguredAssociationService, UidsMatchByExactLengthAndBytes) {
    Configured file("x 1.2.840.10008.1.1 abstract\nx 1.2.840.10008.5.1.4.1.1.2 sop\n");
    ConfiguredAssociationService& service = *file.service;
    EXPECT_EQ(abstractSyntax(service, "1.2.840.10008.1.1"), 1);
    EXPECT_EQ(abstractSyntax(service, "1.2.840.10008.5.1.4.1.1.2"), 1);
    EXPECT_EQ(abstractSyntax(service, "1.2.840.10008.1.1.1"), 0);
    EXPECT_EQ(abstractSyntax(service, "1.2.840.10008.1"), 0);
    // A trailing zero byte inside the proposed length makes another value.
    AbstractSyntaxItem padded;
    padded.value.assign(reinterpret_cast<const uint8_t*>("1.2.840.10008.1.1\0"), 18);
    EXPECT_EQ(service.acceptAbstractSyntax(padded), 0);
    AbstractSyntaxItem spaced("1.2.840.10008.1.1 ");
    EXPECT_EQ(service.acceptAbstractSyntax(spaced), 0);
    // The other UID lists are empty and accept everything.
    EXPECT_EQ(transfer(service, "1.2.840.10008.1.2.4.50"), 1);
    EXPECT_EQ(service.acceptApplicationContext(ApplicationContextItem("1.2.3")), 1);
}

TEST(ConfiguredAssociationService, OnlyATransferLineLimitsTransferSyntaxesAlone) {
    Configured file("explicit 1.2.840.10008.1.2.1 transfer\n");
    ConfiguredAssociationService& service = *file.service;
    EXPECT_EQ(transfer(service, "1.2.840.10008.1.2.1"), 1);
    EXPECT_EQ(transfer(service, "1.2.840.10008.1.2"), 0);
    EXPECT_EQ(transfer(service, "1.2.840.10008.1.2.2"), 0);
    EXPECT_EQ(calling(service, "ANYONE"), 1);
    EXPECT_EQ(service.acceptCalledAeTitle(titleField("WHOEVER").c_str()), 1);
    EXPECT_EQ(abstractSyntax(service, "1.2.3.4"), 1);
}

TEST(ConfiguredAssociationService, WithoutAReadableFileEverythingIsAcceptedAndLoadingSaysSo) {
    TemporaryDirectory directory;
    const std::string empty = directory.file("empty.cfg");
    writeFile(empty, {});
    struct Case {
        const char* name;
        const char* path;
        int loaded;
    };
    const Case cases[] = {
        {"null path", nullptr, 0},
        {"missing file", "/nonexistent/dicomtoolkit/service.cfg", 0},
        {"a directory", directory.path().c_str(), 0},
        {"empty file", empty.c_str(), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConfiguredAssociationService service(c.path);
        EXPECT_EQ(totalCount(service), 0u);
        EXPECT_EQ(service.abstractSyntaxes.values, nullptr);
        EXPECT_EQ(calling(service, "ANYONE"), 1);
        EXPECT_EQ(transfer(service, "1.2.840.10008.1.2.4.50"), 1);  // any transfer syntax, not only implicit
        EXPECT_EQ(service.loadConfiguration(c.path), c.loaded);
    }
}

TEST(ConfiguredAssociationService, LoadingAgainReplacesTheConfiguration) {
    Configured file("x CT1 RemoteAE\n");
    ConfiguredAssociationService& service = *file.service;
    const std::string other = file.directory_.file("other.cfg");
    const std::string text = "x MR1 RemoteAE\nx 1.2.840.10008.1.2 transfer\n";
    writeFile(other, std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(service.loadConfiguration(other.c_str()), 1);
    EXPECT_EQ(valuesOf(service.remoteAeTitles), (std::vector<std::string>{"MR1"}));
    EXPECT_EQ(service.transferSyntaxes.count, 1u);
    EXPECT_EQ(service.loadConfiguration("/nonexistent/dicomtoolkit/service.cfg"), 0);
    EXPECT_EQ(totalCount(service), 0u);
}

TEST(ConfiguredAssociationService, OverlongFieldsAreSkippedNotCut) {
    const std::string field63(63, 'f'), field64(64, 'f');
    const std::string title63(63, 'T'), title64(64, 'T');
    // UIDs of 64 characters are legal; 65 are not.
    const std::string uid64 = "1.2." + std::string(60, '7'), uid65 = uid64 + "7";
    Configured file(field63 + " KEPT1 RemoteAE\n" +     // first field of 63: kept
                    field64 + " CUT1 RemoteAE\n" +      // first field of 64: skipped
                    "x " + title63 + " LocalAE\n" +     // value of 63: kept
                    "x " + title64 + " LocalAE\n" +     // skipped
                    "x " + uid64 + " abstract\n" +      // a full-length UID: kept
                    "x " + uid65 + " abstract\n" +      // skipped
                    "x 1.2.3 transfer" + std::string(64, 'x') + "\n" +  // keyword too long: no keyword
                    "x 1.2.4 transfer " + field64 + field64 + "\n");    // a long fourth field is ignored
    ConfiguredAssociationService& service = *file.service;
    EXPECT_EQ(valuesOf(service.remoteAeTitles), (std::vector<std::string>{"KEPT1"}));
    EXPECT_EQ(firstFieldsOf(service.remoteAeTitles), (std::vector<std::string>{field63}));
    EXPECT_EQ(valuesOf(service.localAeTitles), (std::vector<std::string>{title63}));
    EXPECT_EQ(valuesOf(service.abstractSyntaxes), (std::vector<std::string>{uid64}));
    EXPECT_EQ(abstractSyntax(service, uid64.c_str()), 1);
    EXPECT_EQ(abstractSyntax(service, uid64.substr(0, 63).c_str()), 0);
    EXPECT_EQ(valuesOf(service.transferSyntaxes), (std::vector<std::string>{"1.2.4"}));
}

TEST(ConfiguredAssociationService, ALineLongerThanTheLimitIsSkippedWhole) {
    // Read in 254-character pieces, the tail of this comment would be an
    // entry of its own.
    const std::string comment = "#" + std::string(253, '-') + "x 1.2.840.10008.1.2.4.50 transfer";
    // A line of exactly 254 characters is read whole.
    std::string exact = "x 1.2.840.10008.1.2.1 transfer ";
    exact += std::string(254 - exact.size(), 'z');
    ASSERT_EQ(exact.size(), 254u);
    const std::string entryTooLong = "x 1.2.840.10008.1.2 transfer " + std::string(300, 'z');
    Configured file(comment + "\n" + exact + "\n" + entryTooLong + "\nx CT1 RemoteAE\n");
    ConfiguredAssociationService& service = *file.service;
    EXPECT_EQ(valuesOf(service.transferSyntaxes), (std::vector<std::string>{"1.2.840.10008.1.2.1"}));
    EXPECT_EQ(valuesOf(service.remoteAeTitles), (std::vector<std::string>{"CT1"}));
}

TEST(ConfiguredAssociationService, CarriageReturnLineEndsAndALastLineWithoutOne) {
    Configured file("x CT1 RemoteAE\r\nx 1.2.840.10008.1.2.1 transfer\r\nx\rCT2 RemoteAE\nx MR1 RemoteAE");
    ConfiguredAssociationService& service = *file.service;
    // A carriage return inside a line is no blank: "x\rCT2" is one field.
    EXPECT_EQ(valuesOf(service.remoteAeTitles), (std::vector<std::string>{"CT1", "MR1"}));
    EXPECT_EQ(valuesOf(service.transferSyntaxes), (std::vector<std::string>{"1.2.840.10008.1.2.1"}));
}

TEST(ConfiguredAssociationService, AHundredThousandLinesLoad) {
    std::string text;
    text.reserve(100000 * 40);
    for (int line = 0; line < 100000; ++line) {
        if (line % 2 == 0) {
            text += "title" + std::to_string(line) + " T" + std::to_string(line) + " RemoteAE\n";
        } else {
            text += "sop 1.2.3." + std::to_string(line) + " sop\n";
        }
    }
    Configured file(text);
    ConfiguredAssociationService& service = *file.service;
    ASSERT_EQ(service.remoteAeTitles.count, 50000u);
    ASSERT_EQ(service.abstractSyntaxes.count, 50000u);
    EXPECT_STREQ(service.remoteAeTitles.values[0], "T0");
    EXPECT_STREQ(service.remoteAeTitles.values[49999], "T99998");
    EXPECT_STREQ(service.remoteAeTitles.firstFields[49999], "title99998");
    EXPECT_EQ(calling(service, "T99998"), 1);
    EXPECT_EQ(calling(service, "T99999"), 0);
    EXPECT_EQ(abstractSyntax(service, "1.2.3.99999"), 1);
}

// The configuration as the peer sees it: what an acceptor reading it
// answers to a request.
TEST(ConfiguredAssociationService, RefusedTitlesAndContextsAreRejectedWithTheirReasons) {
    struct Case {
        const char* name;
        std::string configuration;
        const char* callingTitle;
        Bytes expected;
    };
    const Case cases[] = {
        {"calling AE title", "x CT1 RemoteAE\n", "OTHER", {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x03}},
        {"called AE title", "x ARCHIVE LocalAE\n", "PEER", {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x07}},
        {"application context", "x 1.2.3 Application\n", "PEER", {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x02}},
    };
    for (const Case& refusal : cases) {
        SCOPED_TRACE(refusal.name);
        Configured file(refusal.configuration);
        const uint16_t port = platform::freeLocalPort();
        ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                          requestBytes({{1, verification, {implicitLittle}}}, 16384, refusal.callingTitle));
        EXPECT_EQ(file.service->acceptAssociation(portText(port).c_str()), 0);
        peer.finish();
        EXPECT_TRUE(peer.closedByOther);
        EXPECT_EQ(peer.received, refusal.expected);
    }
}

TEST(ConfiguredAssociationService, NegotiatesOnlyTheListedSyntaxes) {
    Configured file(
        "x PEER RemoteAE\n"
        "x DICOMTK LocalAE\n"
        "x 1.2.840.10008.3.1.1.1 Application\n"
        "x 1.2.840.10008.1.1 sop\n"
        "x 1.2.840.10008.1.2.1 transfer\n");
    const uint16_t port = platform::freeLocalPort();
    ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                      requestBytes({{1, verification, {implicitLittle, explicitLittle}},
                                    {3, verification, {implicitLittle}},
                                    {5, ctImageStorage, {explicitLittle}}}),
                      1);
    ASSERT_EQ(file.service->acceptAssociation(portText(port).c_str()), 1);
    file.service->socket.closeAll();
    peer.finish();
    const auto pdus = splitPdus(peer.received);
    ASSERT_GE(pdus.size(), 1u);
    AssociateAcceptPdu accept;
    ASSERT_EQ(decode(pdus[0].bytes, accept), 1);
    ASSERT_EQ(accept.presentationContexts.count(), 3u);
    const PresentationContextResultItem& first = accept.presentationContexts.at(0)->element;
    EXPECT_EQ(first.resultReason, ContextAccepted);
    EXPECT_STREQ(first.transferSyntax.value.text(), explicitLittle);  // not the first proposed
    EXPECT_EQ(accept.presentationContexts.at(1)->element.resultReason, ContextNoReason);
    EXPECT_EQ(accept.presentationContexts.at(2)->element.resultReason, ContextAbstractSyntaxNotSupported);
}

// A title of the full 16 characters is compared in full, in both lists and
// over the wire: one that agrees on 15 characters only is another title.
TEST(ConfiguredAssociationService, SixteenCharacterTitlesMatchInFull) {
    const std::string full = "ABCDEFGHIJKLMNOP";
    Configured file("x " + full + " RemoteAE\nx " + full + " LocalAE\n");
    ConfiguredAssociationService& service = *file.service;
    struct Case {
        std::string title;
        int accepted;
    };
    const Case cases[] = {
        {full, 1},
        {"ABCDEFGHIJKLMNOX", 0},  // the 16th character differs
        {"ABCDEFGHIJKLMNO", 0},   // the first 15 alone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(calling(service, c.title), c.accepted);
        EXPECT_EQ(service.acceptCalledAeTitle(titleField(c.title).c_str()), c.accepted);
    }
    // Listed with 15 characters, a title does not take a 16th.
    Configured shorter("x ABCDEFGHIJKLMNO RemoteAE\n");
    EXPECT_EQ(calling(*shorter.service, full), 0);
    EXPECT_EQ(calling(*shorter.service, "ABCDEFGHIJKLMNO"), 1);

    // The same through an A-ASSOCIATE-RQ: accepted, or rejected for the calling title.
    for (const Case& c : cases) {
        SCOPED_TRACE("over the wire: " + c.title);
        Configured wire("x " + full + " RemoteAE\n");
        const uint16_t port = platform::freeLocalPort();
        ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                          requestBytes({{1, verification, {implicitLittle}}}, 16384, c.title.c_str()), 1);
        EXPECT_EQ(wire.service->acceptAssociation(portText(port).c_str()), c.accepted);
        wire.service->socket.closeAll();
        peer.finish();
        const auto pdus = splitPdus(peer.received);
        ASSERT_GE(pdus.size(), 1u);
        if (c.accepted == 1) {
            EXPECT_EQ(pdus[0].type, 0x02);
        } else {
            EXPECT_EQ(pdus[0].bytes, (Bytes{0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x03}));
        }
    }
}
