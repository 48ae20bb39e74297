#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/ScriptedStream.h"
#include "../support/TemporaryFiles.h"
#include "encoding/Deflate.h"
#include "encoding/StandardEncodingService.h"

using datasets::bytesElement;
using datasets::describe;
using datasets::textElement;

namespace {

using Bytes = std::vector<uint8_t>;

template <size_t size>
Bytes bytesOf(const uint8_t (&array)[size]) {
    return Bytes(array, array + size);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A meta group of two elements in explicit VR little endian; uid is 22
// characters, as the JPEG and deflated UIDs are.
Bytes metaGroup(const char (&uid)[23]) {
    Bytes bytes = {
        0x02, 0x00, 0x01, 0x00, 'O', 'B', 0x00, 0x00,  // (0002,0001) OB, reserved
        0x02, 0x00, 0x00, 0x00, 0x00, 0x01,              //   length 2, version 00 01
        0x02, 0x00, 0x10, 0x00, 'U', 'I', 0x16, 0x00,  // (0002,0010) UI length 22
    };
    return concat({bytes, Bytes(uid, uid + 22)});
}

// Implicit VR little endian data: (0008,0060) "OT", (0010,0010) "A^B ".
const uint8_t implicitData[] = {
    0x08, 0x00, 0x60, 0x00, 0x02, 0x00, 0x00, 0x00,  // (0008,0060) length 2
    'O',  'T',                                       //
    0x10, 0x00, 0x10, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0010,0010) length 4
    'A',  '^',  'B',  ' ',
};

// Explicit VR little endian pixel data, encapsulated: an empty basic offset
// table, one fragment.
const uint8_t encapsulatedData[] = {
    0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0x00, 0x00,  // (7FE0,0010) OB, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item: empty basic offset table
    0xFE, 0xFF, 0x00, 0xE0, 0x04, 0x00, 0x00, 0x00,  // item: fragment, length 4
    0xFF, 0xD8, 0xFF, 0xD9,                          //   compressed bytes
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
};

// A set with a meta group naming uid, a sequence and some elements.
DataSet* setNaming(const char* uid) {
    auto* set = new DataSet();
    set->addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    set->addElement(textElement(0x0002, 0x0010, uid, vrCode('U', 'I')));
    set->addElement(textElement(0x0008, 0x0060, "OT", vrCode('C', 'S')));
    set->addElement(bytesElement(0x0008, 0x1115, {}, vrCode('S', 'Q')));
    auto* item = new DataSet();
    item->addElement(textElement(0x0008, 0x1150, "1.2.840.10008.5.1.4.1.1.7", vrCode('U', 'I')));
    set->addItem(item);
    set->addElement(textElement(0x0010, 0x0010, std::string(200, 'A'), vrCode('P', 'N')));
    return set;
}

class StandardSyntaxes : public ::testing::Test {
protected:
    int readWithSyntax(const Bytes& bytes, DataSet& target) {
        ScriptedStream stream(bytes);
        return service.readWithSyntax(&stream.buffered(), &target, ExplicitLittleEndian);
    }

    Bytes writeWithSyntax(DataSet& source) {
        ScriptedStream stream;
        EXPECT_EQ(service.writeWithSyntax(&source, &stream, ExplicitLittleEndian), 1);
        stream.flush();
        return stream.output;
    }

    StandardEncodingService service;
};

}  // namespace

TEST_F(StandardSyntaxes, TableNamesEveryEncodingFamily) {
    struct Case {
        const char* uid;
        int32_t code;
    };
    const Case cases[] = {
        {"1.2.840.10008.1.2", ImplicitLittleEndian},
        {"1.2.840.10008.1.2.1", ExplicitLittleEndian},
        {"1.2.840.10008.1.2.2", ExplicitBigEndian},
        {"1.2.840.10008.1.2.1.99", DeflatedLittleEndian},
        {"1.2.840.10008.1.2.4.50", EncapsulatedLittleEndian},  // JPEG baseline
        {"1.2.840.10008.1.2.4.70", EncapsulatedLittleEndian},  // JPEG lossless
        {"1.2.840.10008.1.2.4.80", EncapsulatedLittleEndian},  // JPEG-LS
        {"1.2.840.10008.1.2.4.91", EncapsulatedLittleEndian},  // JPEG 2000
        {"1.2.840.10008.1.2.5", EncapsulatedLittleEndian},     // RLE
        {"1.2.840.10008.1.2.1 ", ExplicitLittleEndian},        // a padding space
        {"1.2.840.10008.1.2.3", 0},
        {"1.2.840.10008.1.2.4", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uid);
        EXPECT_EQ(findStandardTransferSyntax(c.uid), c.code);
        EXPECT_EQ(StandardEncodingService::handlesTransferSyntax(c.uid),
                  c.code != 0 && (c.code != DeflatedLittleEndian || deflateSupported()) ? 1 : 0);
    }
}

TEST_F(StandardSyntaxes, MetaGroupNamingJpegGivesExplicitDataWithEncapsulatedPixels) {
    DataSet target;
    ASSERT_EQ(readWithSyntax(concat({metaGroup("1.2.840.10008.1.2.4.50"), bytesOf(encapsulatedData)}), target), 1);
    const DataElement* pixels = target.find(0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels->length, 20u);

    // Written back after the same meta group: the pixel data as they were,
    // and no group length the data set did not have.
    const Bytes written = writeWithSyntax(target);
    const Bytes tail = bytesOf(encapsulatedData);
    ASSERT_GT(written.size(), tail.size());
    EXPECT_EQ(Bytes(written.end() - static_cast<long>(tail.size()), written.end()), tail);
}

TEST_F(StandardSyntaxes, ImplicitDataAfterAMetaGroupNamingExplicitVrAreReadAsImplicit) {
    // A known fault of some writers: the meta group names explicit VR, the
    // data set is implicit VR.
    DataSet target;
    ASSERT_EQ(readWithSyntax(concat({metaGroup("1.2.840.10008.1.2.4.50"), bytesOf(implicitData)}), target), 1);
    EXPECT_EQ(target.find(0x0010, 0x0010)->vr, 0);
    const std::string text = describe(&target);
    EXPECT_EQ(text.substr(text.find("(0008,0060)")), "(0008,0060) 2 4F54\n(0010,0010) 4 415E4220\n");
}

TEST_F(StandardSyntaxes, MetaGroupWithoutTransferSyntaxLeavesTheEncodingToTheData) {
    const uint8_t version[] = {
        0x02, 0x00, 0x01, 0x00, 'O', 'B', 0x00, 0x00,  // (0002,0001) OB, reserved
        0x02, 0x00, 0x00, 0x00, 0x00, 0x01,              //   length 2, version 00 01
    };
    DataSet target;
    ASSERT_EQ(readWithSyntax(concat({bytesOf(version), bytesOf(implicitData)}), target), 1);
    EXPECT_EQ(describe(&target), "(0002,0001) 2 0001\n(0008,0060) 2 4F54\n(0010,0010) 4 415E4220\n");
}

TEST_F(StandardSyntaxes, GroupsBelowTheMetaGroupAreReadAndWrittenAfterIt) {
    // Some writers put group 0001 elements after the meta group: the data
    // set's encoding starts there, and the writers put them there again.
    const uint8_t groupOne[] = {
        0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,  // (0001,0001) implicit VR, length 2
        'Q',  'Q',
    };
    DataSet target;
    ASSERT_EQ(readWithSyntax(concat({metaGroup("1.2.840.10008.1.2\0\0\0\0\0"), bytesOf(groupOne)}), target), 1);
    const DataElement* odd = target.find(0x0001, 0x0001);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->vr, 0);  // read in implicit VR, as the meta group says
    const Bytes written = writeWithSyntax(target);
    ASSERT_GT(written.size(), 4u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{0x02, 0x00, 0x00, 0x00}));  // (0002,0000) first
    // As it came: without a group length.
    EXPECT_EQ(Bytes(written.end() - sizeof groupOne, written.end()), bytesOf(groupOne));
}

TEST_F(StandardSyntaxes, UnknownTransferSyntaxFailsWithItsReason) {
    DataSet target;
    EXPECT_EQ(readWithSyntax(concat({metaGroup("1.2.840.10008.1.2.4.99"), bytesOf(implicitData)}), target), 0);
    ASSERT_NE(service.lastProblem.reason, nullptr);
    EXPECT_STREQ(service.lastProblem.reason, "transfer syntax not supported");
    EXPECT_NE(target.find(0x0002, 0x0010), nullptr);  // the meta group is kept
}

TEST_F(StandardSyntaxes, DeflatedDataSetIsExplicitLittleEndianCompressedAfterTheMetaGroup) {
    if (!deflateSupported()) GTEST_SKIP() << "built without zlib";
    std::unique_ptr<DataSet> source(setNaming("1.2.840.10008.1.2.1.99"));
    const Bytes written = writeWithSyntax(*source);
    // The meta group as it is, then a raw deflate stream that inflates to
    // the explicit VR little endian encoding of the rest.
    const size_t metaSize = 12 + 14 + 8 + 22;  // group length, version, UID
    ASSERT_GT(written.size(), metaSize);
    ScriptedStream compressed(Bytes(written.begin() + metaSize, written.end()));
    ScriptedStream inflated;
    ASSERT_EQ(inflateInput(compressed.buffered(), inflated, 1u << 20), 1);
    inflated.flush();
    std::unique_ptr<DataSet> rest(setNaming("1.2.840.10008.1.2.1.99"));
    delete rest->nextElement();  // (0002,0000)
    delete rest->nextElement();  // (0002,0001)
    delete rest->nextElement();  // (0002,0010)
    ScriptedStream plain;
    ASSERT_EQ(service.writeExplicitLittle(rest.get(), &plain), 1);
    plain.flush();
    EXPECT_EQ(inflated.output, plain.output);
    EXPECT_LT(written.size() - metaSize, plain.output.size());  // 200 letters A compress

    DataSet target;
    ASSERT_EQ(readWithSyntax(written, target), 1);
    std::unique_ptr<DataSet> expected(setNaming("1.2.840.10008.1.2.1.99"));
    EXPECT_EQ(describe(&target), describe(expected.get()));
}

TEST_F(StandardSyntaxes, DeflatedDataThatDoNotInflateFailCleanly) {
    DataSet target;
    const Bytes garbage = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    EXPECT_EQ(readWithSyntax(concat({metaGroup("1.2.840.10008.1.2.1.99"), garbage}), target), 0);
    ASSERT_NE(service.lastProblem.reason, nullptr);
    EXPECT_STREQ(service.lastProblem.reason, deflateSupported() ? "deflated data cannot be inflated"
                                                                : "deflated transfer syntax not supported by this build");
}

TEST_F(StandardSyntaxes, SavedFilesLoadTheSameInEverySyntax) {
    TemporaryDirectory directory;
    const char* const uids[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2",
                                "1.2.840.10008.1.2.1.99", "1.2.840.10008.1.2.4.91"};
    for (const char* uid : uids) {
        if (findStandardTransferSyntax(uid) == DeflatedLittleEndian && !deflateSupported()) continue;
        SCOPED_TRACE(uid);
        const std::string path = directory.file("saved.dcm");
        std::unique_ptr<DataSet> source(setNaming(uid));
        ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderExplicit, source.get()), 1);
        int decoded = 0;
        std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str(), &decoded));
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(decoded, 1);
        std::unique_ptr<DataSet> expected(setNaming(uid));
        service.addMetaHeader(expected.get());
        EXPECT_EQ(describe(loaded.get()), describe(expected.get()));
    }
}

TEST_F(StandardSyntaxes, MetaGroupWithoutTransferSyntaxIsCompletedWhenSaved) {
    DataSet set;
    set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    set.addElement(textElement(0x0010, 0x0010, "A^B", vrCode('P', 'N')));
    ASSERT_EQ(service.addMetaHeader(&set), 1);
    const DataElement* syntax = set.find(0x0002, 0x0010);
    ASSERT_NE(syntax, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(syntax->value), syntax->length),
              std::string("1.2.840.10008.1.2\0", 18));
    // The base service leaves such a meta group as it is.
    DataSet base;
    base.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    AssociationService().addMetaHeader(&base);
    EXPECT_EQ(base.find(0x0002, 0x0010), nullptr);
}

TEST_F(StandardSyntaxes, MessagesTravelInTheContextsSyntaxCompressedPixelsAsTheyAre) {
    struct Case {
        const char* uid;
        uint8_t contextId;
    };
    for (const Case& c : {Case{"1.2.840.10008.1.2.4.50", 3}, Case{"1.2.840.10008.1.2.1.99", 5},
                          Case{"1.2.840.10008.1.2.2", 7}}) {
        if (findStandardTransferSyntax(c.uid) == DeflatedLittleEndian && !deflateSupported()) continue;
        SCOPED_TRACE(c.uid);
        StandardEncodingService peer;
        PresentationContextResultItem accepted{TransferSyntaxItem(c.uid)};
        accepted.contextId = c.contextId;
        accepted.resultReason = ContextAccepted;
        peer.acceptedContexts.tryAppend(accepted);

        DataSet message;
        ScriptedStream pixels(bytesOf(encapsulatedData));
        ASSERT_EQ(peer.readExplicitLittle(&pixels.buffered(), &message), 1);
        message.addElement(textElement(0x0010, 0x0010, "A^B ", vrCode('P', 'N')));
        PdvBuffer out;
        ScriptedStream wire;
        out.peer = &wire;
        ASSERT_EQ(peer.encodeOnFirstContext(message, out), c.contextId);
        out.flush();
        if (findStandardTransferSyntax(c.uid) == EncapsulatedLittleEndian) {
            const Bytes expected = bytesOf(encapsulatedData);
            EXPECT_EQ(Bytes(wire.output.end() - static_cast<long>(expected.size()), wire.output.end()), expected);
        }

        ScriptedStream arriving(wire.output);
        arriving.buffered();
        PdvBuffer in;
        ASSERT_EQ(in.pull(&arriving, static_cast<uint32_t>(wire.output.size())), 1);
        DataSet decoded;
        ASSERT_EQ(peer.decodeMessage(c.contextId, in, decoded), 1);
        EXPECT_EQ(describe(&decoded),
                  "(0010,0010) 4 415E4220\n(7FE0,0010) 20 FEFF00E000000000FEFF00E004000000FFD8FFD9\n");
    }
}

TEST_F(StandardSyntaxes, MetaGroupAddedBesideAnExistingTransferSyntaxDoesNotDoubleIt) {
    // A file from another writer: (0002,0010) without (0002,0001).
    DataSet set;
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.1", vrCode('U', 'I')));
    set.addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7", vrCode('U', 'I')));
    ASSERT_EQ(service.addMetaHeader(&set), 1);
    int syntaxes = 0, versions = 0;
    std::string uid, classUid;
    while (DataElement* element = set.nextElement()) {
        if (element->sameTag(0x0002, 0x0010)) {
            ++syntaxes;
            uid.assign(reinterpret_cast<const char*>(element->value), element->length);
        }
        if (element->sameTag(0x0002, 0x0001)) ++versions;
        if (element->sameTag(0x0002, 0x0002)) classUid.assign(reinterpret_cast<const char*>(element->value), element->length);
        delete element;
    }
    EXPECT_EQ(syntaxes, 1);
    EXPECT_EQ(uid, std::string("1.2.840.10008.1.2.1\0", 20));
    EXPECT_EQ(versions, 1);
    EXPECT_EQ(classUid, std::string("1.2.840.10008.5.1.4.1.1.7\0", 26));
}

TEST_F(StandardSyntaxes, ADataSetFromAMessageIsSavedWithTheGroupLengthsItCameWith) {
    // As a storage server keeps an object: decoded from a message, given a
    // meta group naming the transfer syntax it came in, saved. The file holds
    // the data set byte for byte: no group length at the top, where it had
    // none, and the one in the item, where it had one.
    const uint8_t dataSet[] = {
        0x08, 0x00, 0x15, 0x11, 'S',  'Q',  0x00, 0x00,  // (0008,1115) SQ, reserved
        0x20, 0x00, 0x00, 0x00,                          //   length 32
        0xFE, 0xFF, 0x00, 0xE0, 0x18, 0x00, 0x00, 0x00,  // item, length 24
        0x08, 0x00, 0x00, 0x00, 'U',  'L',  0x04, 0x00,  //   (0008,0000) UL length 4
        0x0C, 0x00, 0x00, 0x00,                          //     12
        0x08, 0x00, 0x50, 0x11, 'U',  'I',  0x04, 0x00,  //   (0008,1150) UI length 4
        '1',  '.',  '2',  0x00,                          //
        0x10, 0x00, 0x10, 0x00, 'P',  'N',  0x04, 0x00,  // (0010,0010) PN length 4
        'A',  '^',  'B',  ' ',
    };
    const char* const explicitLittle = "1.2.840.10008.1.2.1";
    StandardEncodingService peer;
    PresentationContextResultItem accepted{TransferSyntaxItem(explicitLittle)};
    accepted.contextId = 1;
    accepted.resultReason = ContextAccepted;
    peer.acceptedContexts.tryAppend(accepted);

    DataSet message;
    ScriptedStream source(bytesOf(dataSet));
    ASSERT_EQ(peer.readExplicitLittle(&source.buffered(), &message), 1);
    PdvBuffer out;
    ScriptedStream wire;
    out.peer = &wire;
    ASSERT_EQ(peer.encodeOnFirstContext(message, out), 1);
    out.flush();

    ScriptedStream arriving(wire.output);
    arriving.buffered();
    PdvBuffer in;
    ASSERT_EQ(in.pull(&arriving, static_cast<uint32_t>(wire.output.size())), 1);
    ObjectDataSet decoded;
    ASSERT_EQ(peer.decodeMessage(1, in, decoded), 1);
    decoded.addElement(textElement(0x0002, 0x0010, std::string(explicitLittle) + '\0', vrCode('U', 'I')));

    TemporaryDirectory directory;
    const std::string path = directory.file("stored.dcm");
    ASSERT_EQ(peer.saveFile(path.c_str(), FileWithHeaderExplicit, &decoded), 1);
    const Bytes file = readFile(path);
    ASSERT_GT(file.size(), 132u + sizeof dataSet);
    EXPECT_EQ(Bytes(file.end() - static_cast<long>(sizeof dataSet), file.end()), bytesOf(dataSet));
    EXPECT_EQ(Bytes(file.begin() + 132, file.begin() + 136), (Bytes{0x02, 0x00, 0x00, 0x00}));  // (0002,0000) first
}
