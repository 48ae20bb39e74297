#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "encoding/StandardEncodingService.h"
#include "encoding/TransferSyntax.h"
#include "network/AssociationService.h"

using datasets::bytesElement;
using datasets::describe;
using datasets::textElement;

namespace {

struct ParsedElement {
    uint16_t group, element;
    std::string vr;
    std::vector<uint8_t> value;
};

// Walks the bytes of a file written with a meta group: explicit VR little
// endian while the group is 0002, implicit VR little endian after it.
std::vector<ParsedElement> parseFile(const std::vector<uint8_t>& bytes, size_t offset, bool explicitAfterMeta = false) {
    std::vector<ParsedElement> elements;
    auto u16 = [&](size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); };
    auto u32 = [&](size_t at) { return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24; };
    while (offset + 8 <= bytes.size()) {
        ParsedElement element{u16(offset), u16(offset + 2), "", {}};
        uint32_t length;
        if (element.group == 0x0002 || explicitAfterMeta) {
            element.vr = std::string(bytes.begin() + offset + 4, bytes.begin() + offset + 6);
            if (element.vr == "OB" || element.vr == "OW" || element.vr == "SQ" || element.vr == "UN") {
                length = u32(offset + 8);
                offset += 12;
            } else {
                length = u16(offset + 6);
                offset += 8;
            }
        } else {
            length = u32(offset + 4);
            offset += 8;
        }
        element.value.assign(bytes.begin() + offset, bytes.begin() + offset + length);
        offset += length;
        elements.push_back(element);
    }
    EXPECT_EQ(offset, bytes.size());
    return elements;
}

std::vector<uint8_t> text(const std::string& value) { return std::vector<uint8_t>(value.begin(), value.end()); }

std::vector<uint8_t> operator+(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<uint8_t> u32Bytes(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

DataSet* imageReference() {
    auto* set = new DataSet();
    set->addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2"));
    set->addElement(textElement(0x0008, 0x0018, "1.2.3.4.5"));
    set->addElement(textElement(0x0010, 0x0010, "DOE^JOHN"));
    return set;
}

class DicomFile : public ::testing::Test {
protected:
    AssociationService service;
    TemporaryDirectory directory;
};

}  // namespace

TEST_F(DicomFile, ExplicitModeWritesPreambleMetaGroupThenImplicitData) {
    const std::string path = directory.file("mode3.dcm");
    std::unique_ptr<DataSet> set(imageReference());
    ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderExplicit, set.get()), 1);
    EXPECT_EQ(set->nextElement(), nullptr);  // drained

    const std::vector<uint8_t> bytes = readFile(path);
    ASSERT_GT(bytes.size(), 132u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 128), std::vector<uint8_t>(128, 0));
    EXPECT_EQ(std::string(bytes.begin() + 128, bytes.begin() + 132), "DICM");
    const std::vector<ParsedElement> elements = parseFile(bytes, 132);
    struct Expected {
        uint16_t group, element;
        const char* vr;
        std::vector<uint8_t> value;
    };
    const std::vector<Expected> expected = {
        {0x0002, 0x0000, "UL", u32Bytes(14 + 34 + 18 + 26 + 16 + 22 + 24)},
        {0x0002, 0x0001, "OB", {0x00, 0x01}},
        {0x0002, 0x0002, "UI", text("1.2.840.10008.5.1.4.1.1.2") + std::vector<uint8_t>{0}},
        {0x0002, 0x0003, "UI", text("1.2.3.4.5") + std::vector<uint8_t>{0}},
        {0x0002, 0x0010, "UI", text(std::string("1.2.840.10008.1.2\0", 18))},
        {0x0002, 0x0012, "UI", text("none yet")},
        {0x0002, 0x0013, "SH", text("0.1AlphaTEVAR ")},
        {0x0002, 0x0016, "AE", text("none            ")},
        {0x0008, 0x0000, "", u32Bytes(8 + 26 + 8 + 10)},
        {0x0008, 0x0016, "", text("1.2.840.10008.5.1.4.1.1.2") + std::vector<uint8_t>{0}},
        {0x0008, 0x0018, "", text("1.2.3.4.5") + std::vector<uint8_t>{0}},
        {0x0010, 0x0000, "", u32Bytes(16)},
        {0x0010, 0x0010, "", text("DOE^JOHN")},
    };
    ASSERT_EQ(elements.size(), expected.size());
    for (size_t index = 0; index < expected.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(elements[index].group, expected[index].group);
        EXPECT_EQ(elements[index].element, expected[index].element);
        EXPECT_EQ(elements[index].vr, expected[index].vr);
        EXPECT_EQ(elements[index].value, expected[index].value);
    }
}

TEST_F(DicomFile, LoadsWhatItSavedInEachMode) {
    for (int mode : {FileDataSetOnly, FileWithHeaderImplicit, FileWithHeaderExplicit}) {
        SCOPED_TRACE(mode);
        const std::string path = directory.file("mode" + std::to_string(mode) + ".dcm");
        std::unique_ptr<DataSet> set(imageReference());
        set->addElement(bytesElement(0x7FE0, 0x0010, std::vector<uint8_t>(5000, 0x33), vrCode('O', 'W')));
        ASSERT_EQ(service.saveFile(path.c_str(), mode, set.get()), 1);
        int decoded = 0;
        std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str(), &decoded));
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(decoded, 1);
        const std::string meta =
            mode == FileDataSetOnly
                ? ""
                : "(0002,0001) 2 0001\n"
                  "(0002,0002) 26 312E322E3834302E31303030382E352E312E342E312E312E3200\n"
                  "(0002,0003) 10 312E322E332E342E3500\n"
                  "(0002,0010) 18 312E322E3834302E31303030382E312E3200\n"
                  "(0002,0012) 8 6E6F6E6520796574\n"
                  "(0002,0013) 14 302E31416C706861544556415220\n"
                  "(0002,0016) 16 6E6F6E65202020202020202020202020\n";
        const std::string body = describe(loaded.get());
        EXPECT_EQ(body.substr(0, meta.size()), meta);
        EXPECT_NE(body.find("(0010,0010) 8 444F455E4A4F484E\n"), std::string::npos);
        EXPECT_NE(body.find("(7FE0,0010) 5000 3333"), std::string::npos);
    }
}

// Large values are written from the element's own bytes and read straight
// into the loaded element: the file and the values must come out exact.
TEST_F(DicomFile, LargeValuesSurviveSaveAndLoadExactly) {
    std::vector<uint8_t> pixels(3u << 20), overlay(300000);
    for (size_t index = 0; index < pixels.size(); ++index) pixels[index] = static_cast<uint8_t>(index * 13 + (index >> 16));
    for (size_t index = 0; index < overlay.size(); ++index) overlay[index] = static_cast<uint8_t>(index * 7);
    StandardEncodingService standard;
    for (AssociationService* codec : {&service, static_cast<AssociationService*>(&standard)}) {
        for (int mode : {FileDataSetOnly, FileWithHeaderImplicit, FileWithHeaderExplicit}) {
            SCOPED_TRACE(mode);
            const std::string path = directory.file("large" + std::to_string(mode) + ".dcm");
            std::unique_ptr<DataSet> set(imageReference());
            set->addElement(bytesElement(0x6000, 0x3000, overlay, vrCode('O', 'W')));
            set->addElement(bytesElement(0x7FE0, 0x0010, pixels, vrCode('O', 'W')));
            ASSERT_EQ(codec->saveFile(path.c_str(), mode, set.get()), 1);
            const std::vector<uint8_t> file = readFile(path);
            ASSERT_GT(file.size(), pixels.size() + overlay.size());
            EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), file.end() - pixels.size()));
            int decoded = 0;
            std::unique_ptr<ObjectDataSet> loaded(codec->loadFile(path.c_str(), &decoded));
            ASSERT_NE(loaded, nullptr);
            EXPECT_EQ(decoded, 1);
            DataElement* pixelData = loaded->find(0x7FE0, 0x0010);
            DataElement* overlayData = loaded->find(0x6000, 0x3000);
            ASSERT_NE(pixelData, nullptr);
            ASSERT_NE(overlayData, nullptr);
            ASSERT_EQ(pixelData->length, pixels.size());
            EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), pixelData->value));
            ASSERT_EQ(overlayData->length, overlay.size());
            EXPECT_TRUE(std::equal(overlay.begin(), overlay.end(), overlayData->value));
            EXPECT_NE(loaded->find(0x0010, 0x0010), nullptr);
        }
    }
}

TEST_F(DicomFile, AnExistingMetaGroupIsLeftAloneAndWithoutASyntaxAllIsExplicit) {
    const std::string path = directory.file("own-meta.dcm");
    DataSet set;
    set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    set.addElement(textElement(0x0008, 0x0060, "CT", vrCode('C', 'S')));
    ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderExplicit, &set), 1);
    const std::vector<ParsedElement> elements = parseFile(readFile(path), 132, true);
    ASSERT_EQ(elements.size(), 4u);  // (0002,0000), (0002,0001), (0008,0000), (0008,0060)
    EXPECT_EQ(elements[1].vr, "OB");
    EXPECT_EQ(elements[3].vr, "CS");  // group 0008 in explicit VR too
    EXPECT_EQ(elements[3].value, text("CT"));
}

TEST_F(DicomFile, BigEndianDataSetAfterTheMetaGroupRoundTrips) {
    const std::string path = directory.file("big.dcm");
    DataSet set;
    set.addElement(textElement(0x0002, 0x0001, std::string("\0\1", 2), vrCode('O', 'B')));
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.2", vrCode('U', 'I')));
    set.addElement(bytesElement(0x0028, 0x0010, {0x00, 0x40}, vrCode('U', 'S')));
    set.addElement(textElement(0x0010, 0x0010, "BIG^ENDIAN", vrCode('P', 'N')));
    ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderExplicit, &set), 1);
    const std::vector<uint8_t> bytes = readFile(path);
    // (0010,0000) follows the meta group, group number big endian.
    const std::vector<uint8_t> bigGroupLength = {0x00, 0x10, 0x00, 0x00, 'U', 'L', 0x00, 0x04};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), bigGroupLength.begin(), bigGroupLength.end()), bytes.end());
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str(), &decoded));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(decoded, 1);
    EXPECT_EQ(describe(loaded.get()),
              "(0002,0001) 2 0001\n(0002,0010) 20 312E322E3834302E31303030382E312E322E3200\n"
              "(0010,0010) 10 4249475E454E4449414E\n(0028,0010) 2 0040\n");
}

TEST_F(DicomFile, BareFilesDecodeFromTheStart) {
    // A bare implicit file longer than 132 bytes, without "DICM" at 128.
    const std::string implicitPath = directory.file("bare-implicit");
    DataSet set;
    set.addElement(textElement(0x0010, 0x0010, std::string(150, 'A')));
    set.addElement(textElement(0x0010, 0x0020, "ID"));
    ASSERT_EQ(service.saveFile(implicitPath.c_str(), FileDataSetOnly, &set), 1);
    std::unique_ptr<ObjectDataSet> loaded(service.loadFile(implicitPath.c_str()));
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(loaded->find(0x0010, 0x0020), nullptr);
    EXPECT_EQ(loaded->find(0x0010, 0x0010)->length, 150u);

    // A bare explicit VR little endian file: the sixth byte is a VR letter.
    const std::string explicitPath = directory.file("bare-explicit");
    writeFile(explicitPath, {0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x04, 0x00, 'D', 'O', 'E', ' ',
                             0x10, 0x00, 0x20, 0x00, 'L', 'O', 0x02, 0x00, 'I', 'D'});
    loaded.reset(service.loadFile(explicitPath.c_str()));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->find(0x0010, 0x0020)->vr, vrCode('L', 'O'));

    // A bare explicit VR big endian file: the group number starts with 00.
    const std::string bigPath = directory.file("bare-big");
    writeFile(bigPath, {0x00, 0x10, 0x00, 0x10, 'P', 'N', 0x00, 0x04, 'D', 'O', 'E', ' ',
                        0x00, 0x28, 0x00, 0x10, 'U', 'S', 0x00, 0x02, 0x00, 0x40});
    int decoded = 0;
    loaded.reset(service.loadFile(bigPath.c_str(), &decoded));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(decoded, 1);
    EXPECT_EQ(describe(loaded.get()), "(0010,0010) 4 444F4520\n(0028,0010) 2 0040\n");
}

TEST_F(DicomFile, ImplicitModeNamesImplicitVrLittleEndianInTheMetaGroup) {
    // A set read from an explicit VR file keeps that file's Transfer Syntax
    // UID; written all implicit, the file must say implicit.
    const std::string path = directory.file("relabelled.dcm");
    DataSet set;
    set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.1", vrCode('U', 'I')));
    set.addElement(textElement(0x0010, 0x0010, "DOE^JOHN", vrCode('P', 'N')));
    ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderImplicit, &set), 1);
    std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str()));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(describe(loaded.get()),
              "(0002,0001) 2 0001\n(0002,0010) 18 312E322E3834302E31303030382E312E3200\n"
              "(0010,0010) 8 444F455E4A4F484E\n");
}

TEST_F(DicomFile, BareModeNamesImplicitVrLittleEndianInAMetaGroupItKeeps) {
    // A bare file gets no meta group of its own, but one the set holds is
    // written (all implicit) and followed when the file is loaded again.
    const std::string path = directory.file("bare-with-meta");
    DataSet set;
    set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.1", vrCode('U', 'I')));
    set.addElement(textElement(0x0010, 0x0010, "DOE^JOHN", vrCode('P', 'N')));
    ASSERT_EQ(service.saveFile(path.c_str(), FileDataSetOnly, &set), 1);
    const std::vector<uint8_t> bytes = readFile(path);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<uint8_t>{0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}));  // (0002,0000) implicit, at 0
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str(), &decoded));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(decoded, 1);
    EXPECT_EQ(describe(loaded.get()),
              "(0002,0001) 2 0001\n(0002,0010) 18 312E322E3834302E31303030382E312E3200\n"
              "(0010,0010) 8 444F455E4A4F484E\n");
}

TEST_F(DicomFile, ShortAndDamagedFilesDecodeOnlyWhatIsThere) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int decoded;
        size_t groups;
    };
    std::vector<uint8_t> prefixOnly(132, 0);
    std::copy_n("DICM", 4, prefixOnly.begin() + 128);
    std::vector<uint8_t> cutElement = prefixOnly;
    cutElement.insert(cutElement.end(), {0x02, 0x00, 0x10, 0x00, 'U', 'I', 0x14, 0x00, '1', '.', '2'});
    const std::vector<Case> cases = {
        {"empty", {}, 1, 0},
        {"three bytes", {0x08, 0x00, 0x60}, 0, 0},
        {"prefix and nothing more", prefixOnly, 1, 0},
        {"an element cut short after the prefix", cutElement, 0, 0},
        {"one whole element of five bytes", {0x08, 0x00, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = directory.file("short");
        writeFile(path, c.bytes);
        int decoded = -1;
        std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str(), &decoded));
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(decoded, c.decoded);
        EXPECT_EQ(loaded->fillList.count(), c.groups);
    }
}

TEST_F(DicomFile, FailuresAreReported) {
    auto setOf = [](std::vector<DataElement*> elements) {
        auto set = std::make_unique<DataSet>();
        for (DataElement* element : elements) set->addElement(element);
        return set;
    };
    struct SaveCase {
        const char* what;
        std::string path;
        int mode;
        std::unique_ptr<DataSet> set;
    };
    std::vector<SaveCase> cases;
    const std::string unknownMode = directory.file("mode4.dcm");
    cases.push_back({"no such mode", unknownMode, 4, setOf({textElement(0x0010, 0x0010, "X")})});
    cases.push_back({"no such directory", "/nonexistent/dir/file.dcm", FileWithHeaderImplicit,
                     setOf({textElement(0x0010, 0x0010, "X")})});
    // An unknown transfer syntax stops the write after the meta group.
    cases.push_back({"unknown transfer syntax", directory.file("unknown.dcm"), FileWithHeaderExplicit,
                     setOf({bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')),
                            textElement(0x0002, 0x0010, "1.2.3", vrCode('U', 'I')), textElement(0x0010, 0x0010, "X")})});
    if (fileExists("/dev/full")) {
        // A device that refuses every byte: a few hundred bytes that the
        // runtime holds until the file is closed, and a value of 5,000 bytes
        // that it hands on at once (the close then has nothing left to fail on).
        cases.push_back({"full device, small set", "/dev/full", FileWithHeaderExplicit,
                         std::unique_ptr<DataSet>(imageReference())});
        cases.push_back({"full device, one 5,000-byte value", "/dev/full", FileDataSetOnly,
                         setOf({bytesElement(0x7FE0, 0x0010, std::vector<uint8_t>(5000, 0x33), vrCode('O', 'W'))})});
    }
    for (SaveCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(service.saveFile(c.path.c_str(), c.mode, c.set.get()), 0);
    }
    EXPECT_FALSE(fileExists(unknownMode));
    EXPECT_EQ(service.loadFile("/nonexistent/file.dcm"), nullptr);
}

TEST_F(DicomFile, LoadStartsFromAClearedItemBound) {
    const std::string path = directory.file("after-failure.dcm");
    std::unique_ptr<DataSet> set(imageReference());
    ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderImplicit, set.get()), 1);
    service.itemBytesLeft = 77;  // as a failed decode inside an item leaves it
    int decoded = 0;
    std::unique_ptr<ObjectDataSet> loaded(service.loadFile(path.c_str(), &decoded));
    EXPECT_EQ(decoded, 1);
    EXPECT_NE(loaded->find(0x0010, 0x0010), nullptr);
}
