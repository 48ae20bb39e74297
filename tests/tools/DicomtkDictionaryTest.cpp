// dicomtk with the data dictionary: names, VRs and numbers in dump, and
// copy --explicit.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../support/ChildProcess.h"
#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "network/AssociationService.h"

using datasets::bytesElement;
using datasets::textElement;
using datasets::u16Element;

namespace {

template <typename Number>
std::vector<uint8_t> bytesOf(std::initializer_list<Number> numbers) {
    std::vector<uint8_t> bytes;
    for (Number number : numbers) {
        uint8_t raw[sizeof(Number)];
        std::memcpy(raw, &number, sizeof raw);  // the host is little endian
        bytes.insert(bytes.end(), raw, raw + sizeof raw);
    }
    return bytes;
}

// Elements of every number VR, text, and two private elements, without VRs.
void addImplicitElements(DataSet& set) {
    set.addElement(bytesElement(0x0008, 0x9459, bytesOf<float>({25.5f})));
    set.addElement(textElement(0x0010, 0x0010, "DOE^JANE"));
    set.addElement(bytesElement(0x0018, 0x1310, bytesOf<uint16_t>({0, 64, 64, 0})));
    set.addElement(bytesElement(0x0018, 0x6020, bytesOf<int32_t>({-3})));
    set.addElement(bytesElement(0x0018, 0x9089, bytesOf<double>({1.0, 0.0, -0.5})));
    set.addElement(bytesElement(0x0018, 0x9219, bytesOf<int16_t>({-90})));
    set.addElement(bytesElement(0x0020, 0x9057, bytesOf<uint32_t>({70000})));
    set.addElement(bytesElement(0x0020, 0x9128, {1, 0, 0, 0, 2, 0}));  // no whole number of ULs
    set.addElement(bytesElement(0x0028, 0x0009, bytesOf<uint16_t>({0x0018, 0x1063, 0x0018, 0x1065})));
    set.addElement(textElement(0x0009, 0x0010, "ACME"));
    set.addElement(bytesElement(0x0011, 0x1001, {0x01, 0x02, 0x03, 0x04}));
}

void writeImplicitFile(const std::string& path) {
    AssociationService service;
    DataSet set;
    addImplicitElements(set);
    ASSERT_EQ(service.saveFile(path.c_str(), FileWithHeaderImplicit, &set), 1);
}

struct FileElement {
    std::string vr;
    std::vector<uint8_t> value;
};

// The elements of a file with preamble, all in explicit VR little endian.
std::map<uint32_t, FileElement> explicitElements(const std::vector<uint8_t>& bytes) {
    std::map<uint32_t, FileElement> elements;
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8); };
    size_t offset = 132;
    while (offset + 8 <= bytes.size()) {
        const uint32_t tag = u16(offset) << 16 | u16(offset + 2);
        const std::string vr(bytes.begin() + offset + 4, bytes.begin() + offset + 6);
        uint32_t length;
        if (vr == "OB" || vr == "OW" || vr == "OF" || vr == "OD" || vr == "OL" || vr == "OV" || vr == "SQ" ||
            vr == "SV" || vr == "UC" || vr == "UN" || vr == "UR" || vr == "UT" || vr == "UV") {
            if (offset + 12 > bytes.size()) break;
            length = u16(offset + 8) | u16(offset + 10) << 16;
            offset += 12;
        } else {
            length = u16(offset + 6);
            offset += 8;
        }
        if (offset + length > bytes.size()) break;
        elements[tag] = {vr, std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + length)};
        offset += length;
    }
    return elements;
}

}  // namespace

TEST(DicomtkDictionary, DumpShowsDictionaryVrsNamesAndNumbersOfAnImplicitFile) {
    TemporaryDirectory directory;
    writeImplicitFile(directory.file("implicit.dcm"));
    const ToolRun run = dicomtk(directory, {"dump", "implicit.dcm"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* line : {
             "(0002,0010) UI 18 \"1.2.840.10008.1.2\" # Transfer Syntax UID\n",
             "(0008,0000) UL 4 12 # Group Length\n",
             "(0008,9459) FL 4 25.5 # Recommended Display Frame Rate in Float\n",
             "(0010,0010) PN 8 \"DOE^JANE\" # Patient's Name\n",
             "(0018,1310) US 8 0\\64\\64\\0 # Acquisition Matrix\n",
             "(0018,6020) SL 4 -3 # Reference Pixel X0\n",
             "(0018,9089) FD 24 1\\0\\-0.5 # Diffusion Gradient Orientation\n",
             "(0018,9219) SS 2 -90 # Tag Angle Second Axis\n",
             "(0020,9057) UL 4 70000 # In-Stack Position Number\n",
             "(0020,9128) UL 6 6 bytes # Temporal Position Index\n",
             "(0028,0009) AT 8 (0018,1063)\\(0018,1065) # Frame Increment Pointer\n",
             // Private elements: no VR, no name, shown as before.
             "(0009,0010) -- 4 \"ACME\"\n",
             "(0011,1001) -- 4 4 bytes\n",
         }) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    }
}

TEST(DicomtkDictionary, DumpKeepsTheVrsAnExplicitFileCarriesInEitherByteOrder) {
    TemporaryDirectory directory;
    AssociationService service;
    {
        DataSet set;
        set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
        set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.1", vrCode('U', 'I')));
        set.addElement(bytesElement(0x0028, 0x0106, bytesOf<int16_t>({-5}), vrCode('S', 'S')));  // dictionary: US
        set.addElement(textElement(0x0010, 0x0010, "DOE^JANE", vrCode('L', 'O')));
        ASSERT_EQ(service.saveFile(directory.file("little.dcm").c_str(), FileWithHeaderExplicit, &set), 1);
    }
    {
        // Values are kept as they are: these are written big endian already.
        DataSet set;
        set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
        set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.2", vrCode('U', 'I')));
        set.addElement(bytesElement(0x0028, 0x0009, {0x00, 0x18, 0x10, 0x63}, vrCode('A', 'T')));
        set.addElement(bytesElement(0x0028, 0x0010, {0x01, 0x00}, vrCode('U', 'S')));
        ASSERT_EQ(service.saveFile(directory.file("big.dcm").c_str(), FileWithHeaderExplicit, &set), 1);
    }
    const ToolRun little = dicomtk(directory, {"dump", "little.dcm"});
    ASSERT_EQ(little.status, 0) << little.err;
    EXPECT_NE(little.out.find("(0028,0106) SS 2 -5 # Smallest Image Pixel Value\n"), std::string::npos) << little.out;
    EXPECT_NE(little.out.find("(0010,0010) LO 8 \"DOE^JANE\" # Patient's Name\n"), std::string::npos) << little.out;
    const ToolRun big = dicomtk(directory, {"dump", "big.dcm"});
    ASSERT_EQ(big.status, 0) << big.err;
    EXPECT_NE(big.out.find("(0028,0009) AT 4 (0018,1063) # Frame Increment Pointer\n"), std::string::npos) << big.out;
    EXPECT_NE(big.out.find("(0028,0010) US 2 256 # Rows\n"), std::string::npos) << big.out;
}

TEST(DicomtkDictionary, HexDumpHasNoNames) {
    TemporaryDirectory directory;
    writeImplicitFile(directory.file("implicit.dcm"));
    const ToolRun run = dicomtk(directory, {"dump", "--hex", "implicit.dcm"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("(0010,0010) PN 8 444F455E4A414E45\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('#'), std::string::npos) << run.out;
}

TEST(DicomtkDictionary, AnotherDictionaryIsNamedByOptionOrEnvironment) {
    TemporaryDirectory directory;
    writeImplicitFile(directory.file("implicit.dcm"));
    const std::string custom = "{0x0009, 0x0010, \"LO\", \"Maker Tag\", \"MakerTag\"}\n";
    writeFile(directory.file("custom.dic"), std::vector<uint8_t>(custom.begin(), custom.end()));
    for (const ToolRun& run : {dicomtk(directory, {"dump", "--dictionary", "custom.dic", "implicit.dcm"}),
                               dicomtk(directory, {"dump", "implicit.dcm"}, "", {"DICOMTK_DICTIONARY=custom.dic"})}) {
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("(0009,0010) LO 4 \"ACME\" # Maker Tag\n"), std::string::npos) << run.out;
        // Only the named dictionary is loaded.
        EXPECT_NE(run.out.find("(0010,0010) -- 8 \"DOE^JANE\"\n"), std::string::npos) << run.out;
    }
    const ToolRun missing = dicomtk(directory, {"dump", "--dictionary", "missing.dic", "implicit.dcm"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "dicomtk: missing.dic: cannot load the data dictionary\n");
    EXPECT_EQ(missing.out, "");
    const ToolRun fromEnvironment = dicomtk(directory, {"dump", "implicit.dcm"}, "", {"DICOMTK_DICTIONARY=missing.dic"});
    EXPECT_EQ(fromEnvironment.status, 1);
    EXPECT_EQ(fromEnvironment.err, "dicomtk: missing.dic: cannot load the data dictionary\n");
}

TEST(DicomtkDictionary, CopyExplicitWritesEveryElementWithTheDictionaryVr) {
    TemporaryDirectory directory;
    writeImplicitFile(directory.file("implicit.dcm"));
    const ToolRun run = dicomtk(directory, {"copy", "--explicit", "implicit.dcm", "explicit.dcm"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::map<uint32_t, FileElement> written = explicitElements(readFile(directory.file("explicit.dcm")));
    const std::map<uint32_t, std::string> expectedVrs = {
        {0x00020000, "UL"}, {0x00020001, "OB"}, {0x00020010, "UI"}, {0x00080000, "UL"}, {0x00089459, "FL"},
        {0x00090000, "UL"}, {0x00090010, "UN"}, {0x00100000, "UL"}, {0x00100010, "PN"}, {0x00110000, "UL"},
        {0x00111001, "UN"}, {0x00180000, "UL"}, {0x00181310, "US"}, {0x00186020, "SL"}, {0x00189089, "FD"},
        {0x00189219, "SS"}, {0x00200000, "UL"}, {0x00209057, "UL"}, {0x00209128, "UL"}, {0x00280000, "UL"},
        {0x00280009, "AT"},
    };
    for (const auto& [tag, vr] : expectedVrs) {
        const auto found = written.find(tag);
        ASSERT_NE(found, written.end()) << std::hex << tag;
        EXPECT_EQ(found->second.vr, vr) << std::hex << tag;
    }
    const std::string syntax(written.at(0x00020010).value.begin(), written.at(0x00020010).value.end());
    EXPECT_EQ(syntax, std::string("1.2.840.10008.1.2.1", 20));

    // The values are those of the source, byte for byte.
    AssociationService service;
    DataSet source;
    addImplicitElements(source);
    while (DataElement* element = source.nextElement()) {
        if (element->element != 0) {
            const uint32_t tag = uint32_t(element->group) << 16 | element->element;
            ASSERT_EQ(written.count(tag), 1u) << std::hex << tag;
            EXPECT_EQ(written.at(tag).value, std::vector<uint8_t>(element->value, element->value + element->length))
                << std::hex << tag;
        }
        delete element;
    }
    // And the toolkit reads it back with those VRs.
    const ToolRun dump = dicomtk(directory, {"dump", "explicit.dcm"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_NE(dump.out.find("(0009,0010) UN 4 4 bytes\n"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("(0018,9219) SS 2 -90 # Tag Angle Second Axis\n"), std::string::npos) << dump.out;
}

TEST(DicomtkDictionary, CopyExplicitRefusesWhatItCannotRewrite) {
    TemporaryDirectory directory;
    writeImplicitFile(directory.file("implicit.dcm"));
    {
        AssociationService service;
        DataSet set;
        set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
        set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.2", vrCode('U', 'I')));
        set.addElement(bytesElement(0x0028, 0x0010, {0x01, 0x00}, vrCode('U', 'S')));
        ASSERT_EQ(service.saveFile(directory.file("big.dcm").c_str(), FileWithHeaderExplicit, &set), 1);
    }
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"copy", "--explicit", "big.dcm", "out.dcm"},
         1,
         "dicomtk: big.dcm: transfer syntax 1.2.840.10008.1.2.2 cannot be rewritten as explicit VR little endian\n"},
        {{"copy", "--explicit", "--dictionary", "missing.dic", "implicit.dcm", "out.dcm"},
         1,
         "dicomtk: missing.dic: cannot load the data dictionary\n"},
        {{"copy", "--explicit", "missing.dcm", "out.dcm"}, 1, "dicomtk: missing.dcm: cannot open\n"},
        {{"copy", "--explicit", "--mode", "2", "implicit.dcm", "out.dcm"}, 2, ""},
    };
    for (const Case& c : cases) {
        const ToolRun run = dicomtk(directory, c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments[2];
        if (!c.message.empty()) {
            EXPECT_EQ(run.err, c.message);
        }
        EXPECT_FALSE(fileExists(directory.file("out.dcm"))) << c.arguments[2];
    }
    // With --mode 3 as well, --explicit is what it says.
    EXPECT_EQ(dicomtk(directory, {"copy", "--mode", "3", "--explicit", "implicit.dcm", "out.dcm"}).status, 0);
    EXPECT_EQ(explicitElements(readFile(directory.file("out.dcm"))).at(0x00100010).vr, "PN");
}
