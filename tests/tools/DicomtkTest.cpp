#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../support/ChildProcess.h"
#include "../support/DataSetText.h"
#include "../support/TemporaryFiles.h"
#include "network/AssociationService.h"

using datasets::bytesElement;
using datasets::textElement;

namespace {

enum class Endian { little, big };

// A small 16-bit image: 4 rows x 6 columns, pixel data of pixelBytes bytes,
// every sample 0x0800. Little endian, the data set is written in explicit VR
// little endian; big endian, in explicit VR big endian with its numbers and
// samples stored big endian, as such a file holds them.
void writeImage(const std::string& path, size_t pixelBytes, bool withPixels = true, Endian order = Endian::little) {
    auto number = [order](uint16_t value) {
        const uint8_t high = static_cast<uint8_t>(value >> 8), low = static_cast<uint8_t>(value);
        return order == Endian::big ? std::vector<uint8_t>{high, low} : std::vector<uint8_t>{low, high};
    };
    AssociationService service;
    DataSet set;
    if (order == Endian::big) {
        set.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}, vrCode('O', 'B')));
        set.addElement(textElement(0x0002, 0x0010, std::string("1.2.840.10008.1.2.2\0", 20), vrCode('U', 'I')));
    }
    set.addElement(textElement(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2", vrCode('U', 'I')));
    set.addElement(textElement(0x0010, 0x0010, "DOE^JANE", vrCode('P', 'N')));
    set.addElement(bytesElement(0x0028, 0x0010, number(4), vrCode('U', 'S')));
    set.addElement(bytesElement(0x0028, 0x0011, number(6), vrCode('U', 'S')));
    set.addElement(bytesElement(0x0028, 0x0100, number(16), vrCode('U', 'S')));
    set.addElement(bytesElement(0x0028, 0x0101, number(12), vrCode('U', 'S')));
    if (withPixels) {
        std::vector<uint8_t> pixels(pixelBytes);
        const std::vector<uint8_t> sample = number(0x0800);
        for (size_t index = 0; index + 1 < pixels.size(); index += 2) {
            pixels[index] = sample[0];
            pixels[index + 1] = sample[1];
        }
        set.addElement(bytesElement(0x7FE0, 0x0010, pixels, vrCode('O', 'W')));
    }
    service.saveFile(path.c_str(), FileWithHeaderExplicit, &set);
}

// The names in directory, sorted, without lumenar's log.
std::vector<std::string> namesIn(const TemporaryDirectory& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        if (entry.path().filename() != "lumenar.tmp") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

using Bytes = std::vector<uint8_t>;

template <size_t size>
Bytes bytesOf(const uint8_t (&array)[size]) {
    return Bytes(array, array + size);
}

// A file as other writers write it: preamble, DICM, a meta group holding
// only (0002,0010) in explicit VR little endian, then the data set.
Bytes dicomFile(const std::string& transferSyntax, const Bytes& data) {
    Bytes file = {'D', 'I', 'C', 'M', 0x02, 0x00, 0x10, 0x00, 'U', 'I'};
    file.insert(file.begin(), 128, 0);
    std::string uid = transferSyntax;
    if (uid.size() % 2 != 0) uid.push_back('\0');
    file.push_back(static_cast<uint8_t>(uid.size()));
    file.push_back(0);
    file.insert(file.end(), uid.begin(), uid.end());
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

bool contains(const Bytes& bytes, const Bytes& part) {
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

// Explicit VR little endian: a sequence of undefined length with one item of
// undefined length, then the patient's name.
const uint8_t undefinedSequence[] = {
    0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00,  // (0008,1115) SQ, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length
    0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1150) UI length 4
    '1',  '.',  '2',  0x00,                          //
    0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x04, 0x00,  // (0010,0010) PN length 4
    'A',  '^',  'B',  ' ',
};

// A 2 x 2 image whose pixel data are encapsulated: an empty basic offset
// table and one fragment.
const uint8_t compressedImage[] = {
    0x28, 0x00, 0x10, 0x00, 'U', 'S', 0x02, 0x00, 0x02, 0x00,  // (0028,0010) Rows 2
    0x28, 0x00, 0x11, 0x00, 'U', 'S', 0x02, 0x00, 0x02, 0x00,  // (0028,0011) Columns 2
    0x28, 0x00, 0x00, 0x01, 'U', 'S', 0x02, 0x00, 0x10, 0x00,  // (0028,0100) Bits Allocated 16
    0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0x00, 0x00,              // (7FE0,0010) OB, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                                      //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0x00, 0x00, 0x00, 0x00,              // item: empty basic offset table
    0xFE, 0xFF, 0x00, 0xE0, 0x04, 0x00, 0x00, 0x00,              // item: fragment, length 4
    0xFF, 0xD8, 0xFF, 0xD9,                                      //   compressed bytes
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,              // sequence delimitation
};

const char* const explicitLittle = "1.2.840.10008.1.2.1";
const char* const jpegBaseline = "1.2.840.10008.1.2.4.50";

}  // namespace

TEST(Dicomtk, EveryCommandHasHelp) {
    TemporaryDirectory directory;
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--help"}, {"dump", "--help"}, {"copy", "--help"}, {"convert", "--help"}}) {
        const ToolRun run = dicomtk(directory, arguments);
        EXPECT_EQ(run.status, 0) << arguments[0];
        EXPECT_NE(run.out.find("usage: dicomtk"), std::string::npos) << arguments[0];
    }
    const ToolRun nothing = dicomtk(directory, {});
    EXPECT_NE(nothing.status, 0);
    const ToolRun unknown = dicomtk(directory, {"frobnicate"});
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.err.find("dicomtk: frobnicate: unknown command"), std::string::npos);
}

TEST(Dicomtk, DumpListsElementsInTagOrderWithValues) {
    TemporaryDirectory directory;
    writeImage(directory.file("image.dcm"), 48);
    const ToolRun run = dicomtk(directory, {"dump", "image.dcm"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* line : {"(0002,0010) UI 18 \"1.2.840.10008.1.2\" # Transfer Syntax UID\n",
                             "(0010,0010) PN 8 \"DOE^JANE\" # Patient's Name\n", "(0028,0010) US 2 4 # Rows\n",
                             "(7FE0,0010) OW 48 48 bytes # Pixel Data\n", "(0008,0000) UL 4 "}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    }
    EXPECT_LT(run.out.find("(0008,0016)"), run.out.find("(0010,0010)"));
    EXPECT_LT(run.out.find("(0010,0010)"), run.out.find("(0028,0010)"));

    // A big-endian file's numbers are shown as numbers, not as swapped bytes.
    writeImage(directory.file("big.dcm"), 48, true, Endian::big);
    const ToolRun big = dicomtk(directory, {"dump", "big.dcm"});
    ASSERT_EQ(big.status, 0) << big.err;
    for (const char* line : {"(0002,0010) UI 20 \"1.2.840.10008.1.2.2\" # Transfer Syntax UID\n",
                             "(0028,0010) US 2 4 # Rows\n", "(0028,0011) US 2 6 # Columns\n",
                             "(7FE0,0010) OW 48 48 bytes # Pixel Data\n"}) {
        EXPECT_NE(big.out.find(line), std::string::npos) << line << "\n" << big.out;
    }
}

TEST(Dicomtk, CopyWritesEachModeAndReadsBackTheSameElements) {
    TemporaryDirectory directory;
    writeImage(directory.file("image.dcm"), 48);
    const ToolRun original = dicomtk(directory, {"dump", "--hex", "image.dcm"});
    for (const char* mode : {"2", "3"}) {
        const std::string copy = std::string("copy") + mode + ".dcm";
        ASSERT_EQ(dicomtk(directory, {"copy", "--mode", mode, "image.dcm", copy}).status, 0);
        const ToolRun copied = dicomtk(directory, {"dump", "--hex", copy});
        EXPECT_EQ(copied.status, 0);
        // The meta group differs only where mode 3 carries VRs; the data set is the same.
        EXPECT_EQ(copied.out.substr(copied.out.find("(0008,0000)")), original.out.substr(original.out.find("(0008,0000)")));
    }
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "1", "image.dcm", "bare.dcm"}).status, 0);
    const std::vector<uint8_t> bare = readFile(directory.file("bare.dcm"));
    ASSERT_GT(bare.size(), 132u);
    EXPECT_NE(std::string(bare.begin() + 128, bare.begin() + 132), "DICM");
    EXPECT_NE(dicomtk(directory, {"copy", "--mode", "4", "image.dcm", "x.dcm"}).status, 0);
    EXPECT_FALSE(fileExists(directory.file("x.dcm")));
}

TEST(Dicomtk, ConvertWritesTheRasterAsAGrayscaleBmp) {
    // The two headers of a 4 x 6 image with its rows padded to 8 bytes.
    const uint8_t headers[54] = {
        'B',  'M',               // file type
        0x56, 0x04, 0x00, 0x00,  // file size 1110: headers, palette and pixels
        0x00, 0x00, 0x00, 0x00,  // reserved
        0x36, 0x04, 0x00, 0x00,  // pixels at offset 1078, after the 256-entry palette
        0x28, 0x00, 0x00, 0x00,  // BITMAPINFOHEADER size 40
        0x06, 0x00, 0x00, 0x00,  // width 6
        0x04, 0x00, 0x00, 0x00,  // height 4, positive: bottom row first
        0x01, 0x00,              // planes 1
        0x08, 0x00,              // 8 bits per pixel
        0x00, 0x00, 0x00, 0x00,  // no compression
        0x20, 0x00, 0x00, 0x00,  // image size 32: 4 rows of 8 bytes
        0x13, 0x0B, 0x00, 0x00,  // 2835 pixels per metre across (72 dpi)
        0x13, 0x0B, 0x00, 0x00,  // 2835 pixels per metre down
        0x00, 0x01, 0x00, 0x00,  // 256 palette entries
        0x00, 0x00, 0x00, 0x00,  // all of them important
    };
    TemporaryDirectory directory;
    writeImage(directory.file("image.dcm"), 48);
    writeImage(directory.file("big.dcm"), 48, true, Endian::big);
    for (const char* plugin : {"lumenar", "lumenar_interactive", "tonewell"}) {
        SCOPED_TRACE(plugin);
        const ToolRun run = dicomtk(directory, {"convert", "--plugin", plugin, "image.dcm", "image.bmp"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<uint8_t> bmp = readFile(directory.file("image.bmp"));
        ASSERT_EQ(bmp.size(), 14u + 40 + 1024 + 4 * 8);  // rows padded to 8 bytes
        EXPECT_EQ(std::vector<uint8_t>(bmp.begin(), bmp.begin() + 54), std::vector<uint8_t>(headers, headers + 54));
        for (uint32_t level = 0; level < 256; ++level) {
            const std::vector<uint8_t> gray = {uint8_t(level), uint8_t(level), uint8_t(level), 0};
            ASSERT_EQ(std::vector<uint8_t>(bmp.begin() + 54 + level * 4, bmp.begin() + 58 + level * 4), gray) << level;
        }
        const uint8_t expected = std::string(plugin) == "tonewell" ? 255 : 0x80;  // 0x0800: shift 4
        EXPECT_EQ(bmp[14 + 40 + 1024], expected);

        // The same image in a big-endian file gives the same BMP, byte for byte.
        const ToolRun bigRun = dicomtk(directory, {"convert", "--plugin", plugin, "big.dcm", "big.bmp"});
        ASSERT_EQ(bigRun.status, 0) << bigRun.err;
        EXPECT_EQ(readFile(directory.file("big.bmp")), bmp);
    }
    const std::vector<uint8_t> log = readFile(directory.file("lumenar.tmp"));
    EXPECT_EQ(std::string(log.begin(), log.end()), "Convert Optimimal Bit Shift = 4\nMode = 0\n");
}

TEST(Dicomtk, DumpIndentsItemsUnderTheirSequenceAndListsFragments) {
    TemporaryDirectory directory;
    writeFile(directory.file("sequence.dcm"), dicomFile(explicitLittle, bytesOf(undefinedSequence)));
    writeFile(directory.file("compressed.dcm"), dicomFile(jpegBaseline, bytesOf(compressedImage)));
    const ToolRun sequence = dicomtk(directory, {"dump", "sequence.dcm"});
    ASSERT_EQ(sequence.status, 0) << sequence.err;
    EXPECT_NE(sequence.out.find("(0008,1115) SQ 0 # Referenced Series Sequence\n"
                                "  item 1\n"
                                "    (0008,1150) UI 4 \"1.2\" # Referenced SOP Class UID\n"
                                "(0010,0010) PN 4 \"A^B\" # Patient's Name\n"),
              std::string::npos)
        << sequence.out;
    const ToolRun compressed = dicomtk(directory, {"dump", "compressed.dcm"});
    ASSERT_EQ(compressed.status, 0) << compressed.err;
    EXPECT_NE(compressed.out.find("(7FE0,0010) OB 20 20 bytes # Pixel Data\n"
                                  "  offset table 0 bytes\n"
                                  "  fragment 1 4 bytes\n"),
              std::string::npos)
        << compressed.out;
}

TEST(Dicomtk, CopyKeepsCompressedPixelDataAndUndefinedLengthsWhenAsked) {
    TemporaryDirectory directory;
    writeFile(directory.file("sequence.dcm"), dicomFile(explicitLittle, bytesOf(undefinedSequence)));
    writeFile(directory.file("compressed.dcm"), dicomFile(jpegBaseline, bytesOf(compressedImage)));
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "compressed.dcm", "copy.dcm"}).status, 0);
    const Bytes pixels(std::end(compressedImage) - 40, std::end(compressedImage));
    EXPECT_TRUE(contains(readFile(directory.file("copy.dcm")), pixels));

    const Bytes undefinedHeader = {0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes definedHeader = {0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00, 0x14, 0x00, 0x00, 0x00};
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "sequence.dcm", "defined.dcm"}).status, 0);
    const Bytes defined = readFile(directory.file("defined.dcm"));
    EXPECT_TRUE(contains(defined, definedHeader));  // item: 8 + element 12
    EXPECT_FALSE(contains(defined, undefinedHeader));
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "--keep-undefined-lengths", "sequence.dcm", "kept.dcm"}).status,
              0);
    const Bytes kept = readFile(directory.file("kept.dcm"));
    EXPECT_TRUE(contains(kept, undefinedHeader));
    EXPECT_TRUE(contains(kept, {0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xDD, 0xE0}));
    // Both read back as the source.
    const ToolRun source = dicomtk(directory, {"dump", "--hex", "sequence.dcm"});
    for (const char* copy : {"defined.dcm", "kept.dcm"}) {
        const ToolRun copied = dicomtk(directory, {"dump", "--hex", copy});
        EXPECT_EQ(copied.out.substr(copied.out.find("(0008,1115)")), source.out.substr(source.out.find("(0008,1115)")))
            << copy;
    }
}

TEST(Dicomtk, CopyWritesGroupLengthsWhereTheSourceHadThemOrAsAsked) {
    // The source has no group length outside the meta group.
    TemporaryDirectory directory;
    writeFile(directory.file("sequence.dcm"), dicomFile(explicitLittle, bytesOf(undefinedSequence)));
    struct Case {
        std::vector<std::string> options;
        bool groupLengths;
    };
    const std::vector<Case> cases = {
        {{}, false},
        {{"--group-length", "keep"}, false},
        {{"--group-length", "add"}, true},
        {{"--group-length", "remove"}, false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"copy", "--mode", "3"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.insert(arguments.end(), {"sequence.dcm", "copy.dcm"});
        SCOPED_TRACE(arguments.size() > 5 ? arguments[4] : "default");
        ASSERT_EQ(dicomtk(directory, arguments).status, 0);
        const ToolRun dump = dicomtk(directory, {"dump", "copy.dcm"});
        EXPECT_NE(dump.out.find("(0002,0000) UL 4 "), std::string::npos) << dump.out;  // the meta group always
        const bool found = dump.out.find("    (0008,0000) UL 4 12 # Group Length\n") != std::string::npos &&
                           dump.out.find("(0010,0000) UL 4 12 # Group Length\n") != std::string::npos;
        EXPECT_EQ(found, c.groupLengths) << dump.out;
        EXPECT_EQ(dump.out.find("(0010,0000)") != std::string::npos, c.groupLengths) << dump.out;
    }
    // Those that an added copy has, the next copy keeps; remove drops them.
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "--group-length", "add", "sequence.dcm", "added.dcm"}).status,
              0);
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "added.dcm", "kept.dcm"}).status, 0);
    EXPECT_EQ(readFile(directory.file("kept.dcm")), readFile(directory.file("added.dcm")));
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "--group-length", "remove", "added.dcm", "removed.dcm"}).status,
              0);
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "sequence.dcm", "plain.dcm"}).status, 0);
    EXPECT_EQ(readFile(directory.file("removed.dcm")), readFile(directory.file("plain.dcm")));

    const ToolRun bad = dicomtk(directory, {"copy", "--mode", "3", "--group-length", "some", "sequence.dcm", "x.dcm"});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("--group-length takes keep, add or remove"), std::string::npos) << bad.err;
}

TEST(Dicomtk, BadInputIsNamedOnOneLineAndLeavesNoOutput) {
    TemporaryDirectory directory;
    writeFile(directory.file("compressed.dcm"), dicomFile(jpegBaseline, bytesOf(compressedImage)));
    const Bytes sequence = dicomFile(explicitLittle, bytesOf(undefinedSequence));
    writeFile(directory.file("cut.dcm"), Bytes(sequence.begin(), sequence.end() - 20));
    writeImage(directory.file("short.dcm"), 20);
    writeImage(directory.file("nopixels.dcm"), 0, false);
    writeImage(directory.file("good.dcm"), 48);
    writeFile(directory.file("text.txt"), std::vector<uint8_t>(300, 'x'));
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"convert", "--plugin", "lumenar", "missing.dcm", "out.bmp"}, "dicomtk: missing.dcm: cannot open\n"},
        {{"convert", "--plugin", "lumenar", "text.txt", "out.bmp"}, "dicomtk: text.txt: not DICOM\n"},
        {{"convert", "--plugin", "lumenar", "nopixels.dcm", "out.bmp"}, "dicomtk: nopixels.dcm: no pixel data\n"},
        {{"convert", "--plugin", "lumenar", "short.dcm", "out.bmp"},
         "dicomtk: short.dcm: pixel data shorter than rows x columns\n"},
        {{"convert", "--plugin", "nosuch", "good.dcm", "out.bmp"}, "dicomtk: nosuch: unknown plug-in\n"},
        {{"convert", "--plugin", "lumenar", "good.dcm", "no/such/dir/out.bmp"}, "dicomtk: no/such/dir/out.bmp: cannot write\n"},
        {{"copy", "--mode", "2", "missing.dcm", "out.bmp"}, "dicomtk: missing.dcm: cannot open\n"},
        {{"copy", "--mode", "3", "good.dcm", "no/such/dir/out.bmp"}, "dicomtk: no/such/dir/out.bmp: cannot write\n"},
        {{"dump", "text.txt"}, "dicomtk: text.txt: not DICOM\n"},
        {{"convert", "--plugin", "lumenar", "compressed.dcm", "out.bmp"},
         "dicomtk: compressed.dcm: compressed pixel data (transfer syntax 1.2.840.10008.1.2.4.50) is not supported by "
         "the plug-ins\n"},
        {{"copy", "--mode", "2", "compressed.dcm", "out.bmp"},
         "dicomtk: compressed.dcm: compressed pixel data can be copied in mode 3 only\n"},
        {{"copy", "--mode", "3", "cut.dcm", "out.bmp"},
         "dicomtk: cut.dcm: cannot be decoded: sequence of undefined length not delimited at (0008,1115), byte 28 of "
         "the data set\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolRun run = dicomtk(directory, c.arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.err, c.message);
        EXPECT_FALSE(fileExists(directory.file("out.bmp")));
    }
}

// A key of find must name an attribute of the identifier: an element of
// group FFFE would go out as an item or delimiter header, and the peer would
// misread the identifier. Refused before any connection is made.
TEST(Dicomtk, FindRefusesKeysThatNameNoAttributeOfAnIdentifier) {
    TemporaryDirectory directory;
    const std::vector<std::string> keys = {
        "FFFEFDFF",            // the fuzzer's input: bytes 46 46 46 45 46 44 46 46
        "FFFE,E000=x",         // an item
        "(FFFE,E0DD)",         // a sequence delimitation
        "0000,0100",           // the command group
        "0002,0010=1.2.840",   // the meta group
        "0010,0000",           // a group length
    };
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        const ToolRun run = dicomtk(directory, {"find", "-k", key, "127.0.0.1", "1"});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("names no attribute of an identifier"), std::string::npos) << run.err;
    }
}

TEST(Dicomtk, FailedWriteLeavesWhatWasAtTheOutputPathAsItWas) {
    // dicomtk writes with its files limited to 512 bytes, so writing fails
    // whoever runs the test (the limit holds for root too); the refused
    // write is reported as an error rather than ending the process.
    const std::string limited = "trap '' XFSZ && ulimit -f 1 && ";
    TemporaryDirectory directory;
    writeImage(directory.file("image.dcm"), 4000);  // copies of it are over 4,000 bytes
    writeImage(directory.file("small.dcm"), 48);    // its BMP is 1,110 bytes
    const std::vector<uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r', '\n'};
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::string setup;
    };
    const std::vector<Case> cases = {
        {"copy over a file", {"copy", "--mode", "3", "image.dcm", "out"}, limited},
        {"bare copy over a file", {"copy", "--mode", "1", "image.dcm", "out"}, limited},
        {"convert over a file", {"convert", "--plugin", "tonewell", "small.dcm", "out"}, limited},
        {"copy onto a directory", {"copy", "--mode", "2", "image.dcm", "out"}, ""},
        {"convert onto a directory", {"convert", "--plugin", "lumenar", "small.dcm", "out"}, ""},
        {"copy onto a device that is always full", {"copy", "--mode", "2", "image.dcm", "out"}, ""},
        {"convert onto a device that is always full", {"convert", "--plugin", "lumenar", "small.dcm", "out"}, ""},
    };
    const std::string out = directory.file("out");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string what = c.what;
        std::filesystem::remove_all(out);
        if (what.find("directory") != std::string::npos) {
            ASSERT_TRUE(std::filesystem::create_directory(out));
        } else if (what.find("device") != std::string::npos) {
            // A node of its own for the system's always-full device (1, 7 on
            // Linux), where this process may make one; the system's own node
            // is never put at risk.
            if (mknod(out.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
                std::cout << "skipped: cannot make a device node here\n";
                continue;
            }
        } else {
            writeFile(out, earlier);
        }
        const std::filesystem::file_type before = std::filesystem::symlink_status(out).type();
        const std::vector<std::string> namesBefore = namesIn(directory);

        const ToolRun run = dicomtk(directory, c.arguments, c.setup);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.err, "dicomtk: out: cannot write\n");
        EXPECT_EQ(std::filesystem::symlink_status(out).type(), before);
        if (before == std::filesystem::file_type::regular) {
            EXPECT_EQ(readFile(out), earlier);
        }
        // Nothing is left behind, not even a partly written file.
        EXPECT_EQ(namesIn(directory), namesBefore);
    }
    // Without the limit the same copy replaces the file.
    std::filesystem::remove_all(out);
    writeFile(out, earlier);
    ASSERT_EQ(dicomtk(directory, {"copy", "--mode", "3", "image.dcm", "out"}).status, 0);
    EXPECT_GT(readFile(out).size(), 4000u);
    EXPECT_EQ(namesIn(directory), (std::vector<std::string>{"image.dcm", "out", "small.dcm"}));
}
