#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "encoding/DataDictionary.h"

using datasets::textElement;
using datasets::u16Element;

namespace {

// A dictionary file in a scratch directory, written byte for byte.
class DictionaryFile {
public:
    explicit DictionaryFile(const std::string& text, const std::string& name = "test.dic") : path_(directory_.file(name)) {
        writeFile(path_, std::vector<uint8_t>(text.begin(), text.end()));
    }
    const char* path() const { return path_.c_str(); }
    std::string other(const std::string& name, const std::string& text) const {
        const std::string path = directory_.file(name);
        writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
        return path;
    }

private:
    TemporaryDirectory directory_;
    std::string path_;
};

std::string vrText(uint16_t vr) {
    if (vr == 0) return "";
    return std::string{static_cast<char>(vr >> 8), static_cast<char>(vr & 0xFF)};
}

std::string nameOf(const DataDictionary& dictionary, uint16_t group, uint16_t element) {
    char name[DataDictionary::maximumNameLength + 1];
    std::memset(name, 'x', sizeof name);
    dictionary.lookup(group, element, name);
    return name;
}

}  // namespace

TEST(DataDictionary, ReadsAnEntryLineIntoTagVrAndName) {
    DictionaryFile file("{0x0010, 0x0010, \"PN\", \"Patient's Name\"}\n");
    DataDictionary dictionary(1, file.path());
    ASSERT_EQ(dictionary.entryCount(), 1u);
    EXPECT_EQ(dictionary.lookup(0x0010, 0x0010), vrCode('P', 'N'));
    EXPECT_EQ(nameOf(dictionary, 0x0010, 0x0010), "Patient's Name");
    EXPECT_EQ(dictionary.keywordOf(0x0010, 0x0010), nullptr);
    EXPECT_EQ(dictionary.lookup(0x0010, 0x0020), 0);
    EXPECT_EQ(nameOf(dictionary, 0x0010, 0x0020), "");
}

TEST(DataDictionary, EntriesAreSortedByTagWhateverTheFileOrder) {
    DictionaryFile file(
        "{0x0010, 0x0020, \"LO\", \"Patient ID\"}\n"
        "{0x0008, 0x0020, \"DA\", \"Study Date\"}\n");
    DataDictionary dictionary(1, file.path());
    ASSERT_NE(dictionary.table, nullptr);
    ASSERT_EQ(dictionary.table->countOf(), 2u);
    EXPECT_EQ(dictionary.table->recordAt(0)->tag, 0x00080020u);
    EXPECT_EQ(dictionary.table->recordAt(1)->tag, 0x00100020u);
    EXPECT_EQ(dictionary.lookup(0x0008, 0x0020), vrCode('D', 'A'));
    EXPECT_EQ(dictionary.lookup(0x0010, 0x0020), vrCode('L', 'O'));
}

TEST(DataDictionary, WithoutKeptNamesLookupGivesTheVrAndAnEmptyName) {
    DictionaryFile file("{0x0010, 0x0010, \"PN\", \"Patient's Name\", \"PatientName\"}\n");
    DataDictionary dictionary(0, file.path());
    EXPECT_EQ(dictionary.lookup(0x0010, 0x0010), vrCode('P', 'N'));
    EXPECT_EQ(nameOf(dictionary, 0x0010, 0x0010), "");
    EXPECT_EQ(dictionary.nameOf(0x0010, 0x0010), nullptr);
    uint16_t group = 0, element = 0;
    EXPECT_EQ(dictionary.findKeyword("PatientName", group, element), 0);
}

TEST(DataDictionary, NumberTokensAreHexadecimalAfterAnXOtherwiseDecimalCutTo16Bits) {
    struct Case {
        const char* token;
        uint16_t element;
    };
    const Case cases[] = {
        {"16", 16},          {"0x10", 0x10},        {"0X1f", 0x1F},   {"x10", 0},  // second character no x: decimal
        {"1x", 1},           // two characters: decimal
        {"0x12345", 0x2345}, {"0x1g2", 0x1},        {"70000", 4464},  {"-1", 0xFFFF},
        {"+7", 7},           {"abc", 0},            {"0010", 10},     {"\t12", 12},  // a tab is no separator
    };
    for (const Case& c : cases) {
        DictionaryFile file(std::string("{0x0009, ") + c.token + ", \"LO\", \"N\"}\n");
        DataDictionary dictionary(1, file.path());
        EXPECT_EQ(dictionary.lookup(0x0009, c.element), vrCode('L', 'O')) << c.token;
        EXPECT_EQ(dictionary.entryCount(), 1u) << c.token;
    }
}

TEST(DataDictionary, FieldsAreSeparatedByRunsOfSpacesQuotesAndCommas) {
    DictionaryFile file(
        "{16 '16' \"OB\"  ,, 'Name in single quotes'\n"  // the name runs to the line end
        "{0x0020,,,\"0x000D\",UI,Study Instance UID\"}\n"
        "{0x0030 0x0001 CSX \"Taken from the first two letters\"}\n");
    DataDictionary dictionary(1, file.path());
    EXPECT_EQ(dictionary.lookup(16, 16), vrCode('O', 'B'));
    EXPECT_EQ(nameOf(dictionary, 16, 16), "Name in single quotes'");
    EXPECT_EQ(dictionary.lookup(0x0020, 0x000D), vrCode('U', 'I'));
    EXPECT_EQ(nameOf(dictionary, 0x0020, 0x000D), "Study Instance UID");
    EXPECT_EQ(dictionary.lookup(0x0030, 0x0001), vrCode('C', 'S'));
}

TEST(DataDictionary, NamesTakeEscapedCharactersAndKeepApostrophes) {
    DictionaryFile file(
        "{0x0009, 0x0001, \"LO\", \"Operators' \\\"Say\\\" \\\\ here\", \"OperatorsSay\"} trailing\n"
        "{0x0009, 0x0002, \"LO\", \"Ends with a backslash\\");
    DataDictionary dictionary(1, file.path());
    EXPECT_EQ(nameOf(dictionary, 0x0009, 0x0001), "Operators' \"Say\" \\ here");
    ASSERT_NE(dictionary.keywordOf(0x0009, 0x0001), nullptr);
    EXPECT_STREQ(dictionary.keywordOf(0x0009, 0x0001), "OperatorsSay");
    EXPECT_EQ(nameOf(dictionary, 0x0009, 0x0002), "Ends with a backslash");
}

TEST(DataDictionary, LinesThatAreNoCompleteEntryAreIgnored) {
    DictionaryFile file(
        "# a comment {0x0008, 0x0001, \"UL\", \"Commented\"}\n"
        " {0x0008, 0x0002, \"UL\", \"Space before the brace\"}\n"
        "\t{0x0008, 0x0003, \"UL\", \"Tab before the brace\"}\n"
        "\n"
        "{0x0008, 0x0004}\n"            // no VR
        "{0x0008, 0x0005, \"U\"}\n"      // a VR of one letter
        "{0x0008, 0x0006, \"US\"\n"      // no name: an entry without one
        "{0x0008, 0x0007, \"SH\", \"Last line without a line end\"}");
    DataDictionary dictionary(1, file.path());
    for (uint16_t element : {1, 2, 3, 4, 5}) EXPECT_EQ(dictionary.lookup(0x0008, element), 0) << element;
    EXPECT_EQ(dictionary.lookup(0x0008, 0x0006), vrCode('U', 'S'));
    EXPECT_EQ(dictionary.nameOf(0x0008, 0x0006), nullptr);
    // Loaded rather than dropped: the last entry of a hand-edited file often
    // lacks its line end.
    EXPECT_EQ(dictionary.lookup(0x0008, 0x0007), vrCode('S', 'H'));
    EXPECT_EQ(dictionary.entryCount(), 2u);
}

TEST(DataDictionary, ALineLongerThanTheLineRoomKeepsItsNameCutAndTheRestIsNoEntry) {
    const std::string longName(400, 'n');
    DictionaryFile file("{0x0009, 0x0010, \"LT\", \"" + longName + "\"}\n{0x0009, 0x0011, \"ST\", \"Next\"}\n");
    DataDictionary dictionary(1, file.path());
    EXPECT_EQ(dictionary.lookup(0x0009, 0x0010), vrCode('L', 'T'));
    const std::string name = nameOf(dictionary, 0x0009, 0x0010);
    EXPECT_EQ(name, std::string(251 - 24, 'n'));  // the line's first 251 characters, 24 before the name
    EXPECT_EQ(dictionary.lookup(0x0009, 0x0011), vrCode('S', 'T'));
    EXPECT_EQ(dictionary.entryCount(), 2u);
}

TEST(DataDictionary, AFailedLoadKeepsThePreviousTable) {
    DictionaryFile file("{0x0010, 0x0010, \"PN\", \"Patient's Name\"}\n");
    DataDictionary dictionary(1, file.path());
    const std::string empty = file.other("empty.dic", "# nothing but a comment\n");
    EXPECT_EQ(dictionary.load(empty.c_str()), 0);
    EXPECT_EQ(dictionary.load(file.other("missing/none.dic", "").c_str()), 0);
    EXPECT_EQ(dictionary.load(nullptr), 0);
    EXPECT_EQ(dictionary.lookup(0x0010, 0x0010), vrCode('P', 'N'));
    EXPECT_EQ(nameOf(dictionary, 0x0010, 0x0010), "Patient's Name");

    const std::string other = file.other("other.dic", "{0x0008, 0x0020, \"DA\", \"Study Date\"}\n");
    EXPECT_EQ(dictionary.load(other.c_str()), 1);
    EXPECT_EQ(dictionary.lookup(0x0010, 0x0010), 0);
    EXPECT_EQ(dictionary.lookup(0x0008, 0x0020), vrCode('D', 'A'));

    EXPECT_EQ(dictionary.clear(), 1);
    EXPECT_EQ(dictionary.table, nullptr);
    EXPECT_EQ(dictionary.lookup(0x0008, 0x0020), 0);

    DataDictionary none(1, nullptr);
    EXPECT_EQ(none.lookup(0x0008, 0x0020), 0);
    EXPECT_EQ(nameOf(none, 0x0008, 0x0020), "");
}

TEST(DataDictionary, AssignVrSetsTheDictionaryVrAndClearsItForUnknownTags) {
    DictionaryFile file("{0x0028, 0x0010, \"US\", \"Rows\"}\n");
    DataDictionary dictionary(1, file.path());
    DataElement rows(0x0028, 0x0010, 2, 1);
    EXPECT_EQ(dictionary.assignVr(&rows), 1);
    EXPECT_EQ(rows.vr, vrCode('U', 'S'));
    DataElement unknown(0x0029, 0x1010, 2, 1);
    unknown.vr = vrCode('O', 'B');
    EXPECT_EQ(dictionary.assignVr(&unknown), 0);
    EXPECT_EQ(unknown.vr, 0);
}

TEST(DataDictionary, AssignVrsGivesEveryElementItsVrAndKeepsTheValues) {
    DictionaryFile file(
        "{0x0010, 0x0010, \"PN\", \"Patient's Name\"}\n"
        "{0x0028, 0x0010, \"US\", \"Rows\"}\n");
    DataDictionary dictionary(1, file.path());
    DataSet set;
    set.addElement(textElement(0x0010, 0x0010, "DOE^JANE"));
    set.addElement(u16Element(0x0028, 0x0010, 512, vrCode('S', 'S')));
    set.addElement(textElement(0x0029, 0x1010, "PRIVATE ", vrCode('L', 'O')));
    EXPECT_EQ(dictionary.assignVrs(&set), 1);

    ASSERT_NE(set.find(0x0010, 0x0010), nullptr);  // filling again
    std::vector<std::string> seen;
    while (DataElement* element = set.nextElement()) {
        seen.push_back(std::to_string(element->group) + ":" + std::to_string(element->element) + " " +
                       vrText(element->vr) + " " + std::to_string(element->length));
        delete element;
    }
    // Group lengths (made afresh, UL) head each group; the private element lost its VR.
    const std::vector<std::string> expected = {"16:0 UL 4",  "16:16 PN 8", "40:0 UL 4",
                                               "40:16 US 2", "41:0 UL 4",  "41:4112  8"};
    EXPECT_EQ(seen, expected);
}

TEST(DataDictionary, KeywordsAndTagTextsGiveTags) {
    DictionaryFile file(
        "{0x0010, 0x0010, \"PN\", \"Patient's Name\", \"PatientName\"}\n"
        "{0x0010, 0x0020, \"LO\", \"Patient ID\", \"PatientID\"}\n");
    DataDictionary dictionary(1, file.path());
    struct Case {
        const char* text;
        int found;
        uint16_t group, element;
    };
    const Case cases[] = {
        {"PatientName", 1, 0x0010, 0x0010}, {"PatientID", 1, 0x0010, 0x0020}, {"patientname", 0, 0, 0},
        {"Patient", 0, 0, 0},               {"", 0, 0, 0},                    {"(0008,0020)", 1, 0x0008, 0x0020},
        {"0008,0020", 1, 0x0008, 0x0020},   {"7fe00010", 1, 0x7FE0, 0x0010},  {"(0008,002)", 0, 0, 0},
        {"0008,00200", 0, 0, 0},            {"000,80020", 0, 0, 0},           {"(0008,0020", 0, 0, 0},
        {"0008;0020", 0, 0, 0},             {"(PatientName)", 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t group = 0xAAAA, element = 0xBBBB;
        EXPECT_EQ(dictionary.tagFromText(c.text, group, element), c.found) << c.text;
        EXPECT_EQ(group, c.found ? c.group : 0xAAAA) << c.text;
        EXPECT_EQ(element, c.found ? c.element : 0xBBBB) << c.text;
    }
    uint16_t group = 0, element = 0;
    EXPECT_EQ(dictionary.tagFromText(nullptr, group, element), 0);
    EXPECT_EQ(dictionary.findKeyword(nullptr, group, element), 0);
}

TEST(StandardDictionary, HoldsEveryPublicElementWithItsVrNameAndKeyword) {
    DataDictionary dictionary(1, DICOMTOOLKIT_DICTIONARY);
    EXPECT_GT(dictionary.entryCount(), 5000u);
    struct Case {
        uint16_t group, element;
        const char* vr;
        const char* name;
        const char* keyword;
    };
    const Case cases[] = {
        {0x0000, 0x0100, "US", "Command Field", "CommandField"},
        {0x0000, 0x1000, "UI", "Affected SOP Instance UID", "AffectedSOPInstanceUID"},
        {0x0002, 0x0010, "UI", "Transfer Syntax UID", "TransferSyntaxUID"},
        {0x0008, 0x0005, "CS", "Specific Character Set", "SpecificCharacterSet"},
        {0x0010, 0x0010, "PN", "Patient's Name", "PatientName"},
        {0x0020, 0x000D, "UI", "Study Instance UID", "StudyInstanceUID"},
        {0x0028, 0x0010, "US", "Rows", "Rows"},
        {0x0028, 0x0106, "US", "Smallest Image Pixel Value", "SmallestImagePixelValue"},  // US or SS
        {0x0028, 0x3006, "OW", "LUT Data", "LUTData"},                                    // US or OW
        {0x0028, 0x9145, "SQ", "Pixel Value Transformation Sequence", "PixelValueTransformationSequence"},
        {0x0020, 0x5000, "AT", "Original Image Identification", "OriginalImageIdentification"},
        {0x6000, 0x3000, "OW", "Overlay Data", "OverlayData"},  // a repeating group: the keyword gives its first
        {0x7FE0, 0x0010, "OW", "Pixel Data", "PixelData"},      // OB or OW
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vrText(dictionary.lookup(c.group, c.element)), c.vr) << c.name;
        EXPECT_EQ(nameOf(dictionary, c.group, c.element), c.name);
        const char* keyword = dictionary.keywordOf(c.group, c.element);
        EXPECT_STREQ(keyword != nullptr ? keyword : "", c.keyword) << c.name;
        uint16_t group = 0, element = 0;
        EXPECT_EQ(dictionary.findKeyword(c.keyword, group, element), 1) << c.keyword;
        EXPECT_EQ(group, c.group) << c.keyword;
        EXPECT_EQ(element, c.element) << c.keyword;
    }
    EXPECT_EQ(vrText(dictionary.lookup(0x601E, 0x3000)), "OW");
    EXPECT_EQ(vrText(dictionary.lookup(0x5010, 0x3000)), "OW");  // curve data, retired
    // Private and item tags are not in it.
    EXPECT_EQ(dictionary.lookup(0x0009, 0x0010), 0);
    EXPECT_EQ(dictionary.lookup(0xFFFE, 0xE000), 0);
    // Every entry is found again by its tag, and each VR is two capitals.
    const SortedKeyTable& table = *dictionary.table;
    for (uint32_t index = 0; index < table.countOf(); ++index) {
        const KeyedRecord& record = *table.recordAt(index);
        if (index != 0) {
            ASSERT_LT(table.keys[index - 1], table.keys[index]) << index;
        }
        ASSERT_EQ(dictionary.lookup(static_cast<uint16_t>(record.tag >> 16), static_cast<uint16_t>(record.tag)), record.vr);
        const char first = static_cast<char>(record.vr >> 8), second = static_cast<char>(record.vr);
        ASSERT_TRUE(first >= 'A' && first <= 'Z' && second >= 'A' && second <= 'Z') << record.tag;
        ASSERT_NE(record.name, nullptr) << record.tag;
    }
}
