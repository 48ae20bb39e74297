#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/ScriptedStream.h"
#include "encoding/TransferSyntax.h"
#include "network/AssociationService.h"

using datasets::bytesElement;
using datasets::describe;
using datasets::textElement;

namespace {

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<uint8_t> text(const std::string& value) { return std::vector<uint8_t>(value.begin(), value.end()); }

// Implicit VR little endian: (0010,0010) length 6 "DOE^J ".
const std::vector<uint8_t> implicitPatientName = {
    0x10, 0x00, 0x10, 0x00,  // tag (0010,0010)
    0x06, 0x00, 0x00, 0x00,  // length 6
    'D',  'O',  'E',  '^',  'J', ' ',
};

// Explicit VR big endian: (0010,0010) PN length 6.
const std::vector<uint8_t> explicitBigPatientName = {
    0x00, 0x10, 0x00, 0x10,  // tag (0010,0010)
    'P',  'N',               // VR
    0x00, 0x06,              // length 6
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
};

// Explicit VR little endian: an SQ element with one item holding (0008,0100) "ABCDEF".
const std::vector<uint8_t> explicitSequence = {
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  // (0008,0000) UL length 4
    0x32, 0x00, 0x00, 0x00,                          //   value 50: SQ header 12, item header 12, contents 26
    0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00,  // (0008,1115) SQ, reserved
    0x00, 0x00, 0x00, 0x00,                          //   own length 0
    0xFE, 0xFF, 0x00, 0xE0, 'S', 'Q', 0x00, 0x00,  // item (FFFE,E000) in the explicit long form
    0x1A, 0x00, 0x00, 0x00,                          //   item length 26
    0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  //   (0008,0000) implicit, length 4
    0x0E, 0x00, 0x00, 0x00,                          //     value 14
    0x08, 0x00, 0x00, 0x01, 0x06, 0x00, 0x00, 0x00,  //   (0008,0100) implicit, length 6
    'A',  'B',  'C',  'D',  'E', 'F',
};

// Explicit VR big endian: an element without VR, then an item of length 2
// whose contents, a group length element, run on to the end of the input.
// Group lengths are dropped as they are read, so the element holds one
// empty item.
const std::vector<uint8_t> explicitBigEmptyItem = {
    0x13, 0x00, 0xE0, 0x00,  // tag (1300,E000)
    0x00, 0x00,              // no VR
    0x00, 0x00,              // length 0
    0xFF, 0xFE, 0xE0, 0x00,  // item (FFFE,E000)
    0x00, 0x00,              //   no VR: the short form
    0x00, 0x02,              //   item length 2
    0x00, 0x00, 0x00, 0x00,  //   implicit (0000,0000)
    0x00, 0x00, 0x00, 0x00,  //     length 0
};

// The same in implicit VR little endian.
const std::vector<uint8_t> implicitEmptyItem = {
    0x00, 0x13, 0x00, 0xE0,  // tag (1300,E000)
    0x00, 0x00, 0x00, 0x00,  // length 0
    0xFE, 0xFF, 0x00, 0xE0,  // item (FFFE,E000)
    0x02, 0x00, 0x00, 0x00,  //   item length 2
    0x00, 0x00, 0x00, 0x00,  //   (0000,0000)
    0x00, 0x00, 0x00, 0x00,  //     length 0
};

// Implicit VR little endian: an item before any element, then (0010,0010).
// The item belongs to no element; the set keeps it as a loose item.
const std::vector<uint8_t> implicitItemFirst = {
    0xFE, 0xFF, 0x00, 0xE0,  // item (FFFE,E000)
    0x0A, 0x00, 0x00, 0x00,  //   item length 10
    0x08, 0x00, 0x60, 0x00,  //   (0008,0060)
    0x02, 0x00, 0x00, 0x00,  //     length 2
    'C',  'T',               //     value
    0x10, 0x00, 0x10, 0x00,  // (0010,0010)
    0x02, 0x00, 0x00, 0x00,  //   length 2
    'X',  ' ',               //   value
};

// Explicit VR little endian meta group naming implicit VR little endian,
// then an item: its header, as the first thing after the meta group, is
// already in the named encoding. The item belongs to (0002,0010).
const std::vector<uint8_t> metaThenImplicitItem = {
    0x02, 0x00, 0x10, 0x00,  // (0002,0010)
    'U',  'I',  0x12, 0x00,  //   UI, length 18
    '1',  '.',  '2',  '.',  '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2', 0x00,
    0xFE, 0xFF, 0x00, 0xE0,  // item (FFFE,E000), implicit
    0x0A, 0x00, 0x00, 0x00,  //   item length 10
    0x08, 0x00, 0x60, 0x00,  //   (0008,0060)
    0x02, 0x00, 0x00, 0x00,  //     length 2
    'C',  'T',               //     value
};

// The same with a meta group naming explicit VR big endian.
const std::vector<uint8_t> metaThenBigItem = {
    0x02, 0x00, 0x10, 0x00,  // (0002,0010)
    'U',  'I',  0x14, 0x00,  //   UI, length 20
    '1',  '.',  '2',  '.',  '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2', '.', '2', 0x00,
    0xFF, 0xFE, 0xE0, 0x00,  // item (FFFE,E000), big endian
    'S',  'Q',  0x00, 0x00,  //   the explicit long form
    0x00, 0x00, 0x00, 0x0A,  //   item length 10
    0x00, 0x08, 0x00, 0x60,  //   (0008,0060)
    0x00, 0x00, 0x00, 0x02,  //     length 2
    'C',  'T',               //     value
};

// Explicit VR little endian meta group naming big endian. The next group
// number reads as 0100 in little endian, so the reader switches and makes it
// (0001,0010); then (0100,0010) in big endian, which no encoding can put
// first after such a meta group.
const std::vector<uint8_t> metaThenGroup0100 = {
    0x02, 0x00, 0x10, 0x00,  // (0002,0010)
    'U',  'I',  0x14, 0x00,  //   UI, length 20
    '1',  '.',  '2',  '.',  '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2', '.', '2', 0x00,
    0x00, 0x01, 0x00, 0x10,  // group 0100 in little endian: switch, then (0001,0010) in big endian
    'C',  'S',  0x00, 0x02,  //   CS, length 2
    'C',  'T',               //   value
    0x01, 0x00, 0x00, 0x10,  // (0100,0010)
    'C',  'S',  0x00, 0x02,  //   CS, length 2
    'M',  'R',               //   value
};

// The elements as describe shows them, then one line per loose item.
std::string describeWithLooseItems(DataSet* set) {
    std::string text = describe(set);
    const uint32_t loose = set->looseItems != nullptr ? set->looseItems->count() : 0;
    for (uint32_t index = 0; index < loose; ++index) text += "loose item\n";
    return text;
}

using Reader = int (*)(AssociationService&, ByteStream*, DataSet*);
using Writer = int (*)(AssociationService&, DataSet*, ByteStream*);

int readImplicitLittle(AssociationService& service, ByteStream* stream, DataSet* target) {
    return service.readImplicitLittle(stream, target);
}
int writeImplicitLittle(AssociationService& service, DataSet* source, ByteStream* stream) {
    return service.writeImplicitLittle(source, stream);
}
int readWithSyntax(AssociationService& service, ByteStream* stream, DataSet* target) {
    return service.readWithSyntax(stream, target, ExplicitLittleEndian);
}
int writeWithSyntax(AssociationService& service, DataSet* source, ByteStream* stream) {
    return service.writeWithSyntax(source, stream, ExplicitLittleEndian);
}
int readExplicitBig(AssociationService& service, ByteStream* stream, DataSet* target) {
    return service.readExplicitBig(stream, target);
}
int writeExplicitBig(AssociationService& service, DataSet* source, ByteStream* stream) {
    return service.writeExplicitBig(source, stream);
}

class Codecs : public ::testing::Test {
protected:
    AssociationService service;
};

}  // namespace

TEST_F(Codecs, DecodesImplicitLittleEndian) {
    ScriptedStream stream(implicitPatientName);
    DataSet target;
    ASSERT_EQ(service.readImplicitLittle(&stream.buffered(), &target), 1);
    DataElement* name = target.find(0x0010, 0x0010);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->length, 6u);
    EXPECT_EQ(name->vr, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name->value), 6), "DOE^J ");
    EXPECT_EQ(service.itemBytesLeft, 0);
}

TEST_F(Codecs, DecodesExplicitBigEndianKeepingValueBytesAsTheyArrived) {
    ScriptedStream stream(explicitBigPatientName);
    DataSet target;
    ASSERT_EQ(service.readExplicitBig(&stream.buffered(), &target), 1);
    DataElement* name = target.find(0x0010, 0x0010);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->vr, vrCode('P', 'N'));
    EXPECT_EQ(std::vector<uint8_t>(name->value, name->value + name->length),
              (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
    EXPECT_EQ(stream.readOrder, 2);  // the order stays on the stream
}

TEST_F(Codecs, WritesExplicitHeadersInTheirShortAndLongForms) {
    struct Case {
        const char* what;
        uint16_t vr;
        std::vector<uint8_t> value;
        std::vector<uint8_t> expected;  // the element after its group's length element
    };
    const std::vector<Case> cases = {
        {"OW: reserved field and 32-bit length", vrCode('O', 'W'), {1, 2, 3, 4},
         {0x09, 0x00, 0x10, 0x00, 'O', 'W', 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 1, 2, 3, 4}},
        {"VR 0: two zero bytes and a 16-bit length", 0, {1, 2},
         {0x09, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 1, 2}},
        {"UT: long form", vrCode('U', 'T'), {'a', 'b'},
         {0x09, 0x00, 0x10, 0x00, 'U', 'T', 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 'a', 'b'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DataSet source;
        source.addElement(bytesElement(0x0009, 0x0010, c.value, c.vr));
        ScriptedStream stream;
        ASSERT_EQ(service.writeExplicitLittle(&source, &stream), 1);
        stream.flush();
        ASSERT_GE(stream.output.size(), 12u);
        // (0009,0000) UL 4 comes first.
        EXPECT_EQ(std::vector<uint8_t>(stream.output.begin(), stream.output.begin() + 8),
                  (std::vector<uint8_t>{0x09, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00}));
        EXPECT_EQ(std::vector<uint8_t>(stream.output.begin() + 12, stream.output.end()), c.expected);
        EXPECT_EQ(source.nextElement(), nullptr);  // drained
    }
}

TEST_F(Codecs, OddLengthIsWrittenWithAZeroPadAndReadBackEven) {
    DataSet source;
    DataElement* odd = bytesElement(0x0010, 0x0020, {'A', 'B', 'C', 'D'});
    odd->length = 3;  // as a decoder keeps an odd length
    source.addElement(odd);
    ScriptedStream stream;
    ASSERT_EQ(service.writeImplicitLittle(&source, &stream), 1);
    stream.flush();
    const std::vector<uint8_t> expected = {
        0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00,  // (0010,0000) = 8 + 3 + 1
        0x10, 0x00, 0x20, 0x00, 0x04, 0x00, 0x00, 0x00, 'A', 'B', 'C', 0x00,     // length 4, pad 00
    };
    EXPECT_EQ(stream.output, expected);
    ScriptedStream input(stream.output);
    DataSet target;
    ASSERT_EQ(service.readImplicitLittle(&input.buffered(), &target), 1);
    EXPECT_EQ(describe(&target), "(0010,0020) 4 41424300\n");
}

TEST_F(Codecs, SequenceItemIsWrittenInTheToolkitItemEncodingAndReadBack) {
    DataSet source;
    source.addElement(bytesElement(0x0008, 0x1115, {}, vrCode('S', 'Q')));
    auto* item = new DataSet();
    item->addElement(textElement(0x0008, 0x0100, "ABCDEF"));
    EXPECT_EQ(item->encodedLength, 26);
    source.addItem(item);
    ScriptedStream stream;
    ASSERT_EQ(service.writeExplicitLittle(&source, &stream), 1);
    stream.flush();
    EXPECT_EQ(stream.output, explicitSequence);

    ScriptedStream input(stream.output);
    DataSet target;
    ASSERT_EQ(service.readExplicitLittle(&input.buffered(), &target), 1);
    DataElement* sequence = target.find(0x0008, 0x1115);
    ASSERT_NE(sequence, nullptr);
    ASSERT_NE(sequence->items, nullptr);
    ASSERT_EQ(sequence->items->count(), 1u);
    DataSet* readItem = sequence->items->at(0)->element;
    EXPECT_EQ(describe(readItem), "(0008,0100) 6 414243444546\n");
    EXPECT_EQ(service.itemBytesLeft, 0);
}

TEST_F(Codecs, ItemHeadersOfLengthZeroAndDelimitersAddNothing) {
    const std::vector<uint8_t> bytes = {
        0x08, 0x00, 0x15, 0x11, 0x00, 0x00, 0x00, 0x00,  // (0008,1115) length 0
        0xFE, 0xFF, 0x00, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item of length 0
        0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation, skipped
        0x10, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 'X', ' ',
    };
    ScriptedStream stream(bytes);
    DataSet target;
    ASSERT_EQ(service.readImplicitLittle(&stream.buffered(), &target), 1);
    EXPECT_EQ(target.find(0x0008, 0x1115)->items, nullptr);
    EXPECT_EQ(describe(&target), "(0008,1115) 0 \n(0010,0010) 2 5820\n");
}

TEST_F(Codecs, ReadsItemsOfUndefinedLengthUpToTheirDelimitation) {
    const std::vector<uint8_t> bytes = {
        0x08, 0x00, 0x15, 0x11, 0x00, 0x00, 0x00, 0x00,  // (0008,1115) length 0
        0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item of undefined length
        0x08, 0x00, 0x50, 0x11, 0x02, 0x00, 0x00, 0x00, '1', '2',
        0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
        0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
        0x10, 0x00, 0x20, 0x00, 0x02, 0x00, 0x00, 0x00, 'I', 'D',
    };
    ScriptedStream stream(bytes);
    DataSet target;
    ASSERT_EQ(service.readImplicitLittle(&stream.buffered(), &target), 1);
    EXPECT_EQ(describe(&target), "(0008,1115) 0 \n item\n  (0008,1150) 2 3132\n(0010,0020) 2 4944\n");
}

TEST_F(Codecs, UndefinedLengthOutsideAnItemFailsEveryReader) {
    using Reader = int (AssociationService::*)(ByteStream*, DataSet*);
    struct Case {
        const char* what;
        Reader read;
        std::vector<uint8_t> bytes;
    };
    const std::vector<Case> cases = {
        {"implicit", &AssociationService::readImplicitLittle,
         {0xE0, 0x7F, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0xE0}},
        {"explicit little", &AssociationService::readExplicitLittle,
         {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0xE0}},
        {"explicit big", &AssociationService::readExplicitBig,
         {0x7F, 0xE0, 0x00, 0x10, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xE0, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedStream stream(c.bytes);
        DataSet target;
        EXPECT_EQ((service.*c.read)(&stream.buffered(), &target), 0);
        EXPECT_EQ(target.find(0x7FE0, 0x0010), nullptr);
    }
    ScriptedStream stream({0xE0, 0x7F, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    DataSet target;
    EXPECT_EQ(service.readWithSyntax(&stream.buffered(), &target, ImplicitLittleEndian), 0);
}

TEST_F(Codecs, TruncatedInputFailsWithoutAHalfFilledElement) {
    // Two implicit elements; every cut inside the second one must fail and
    // leave only the first in the set; a cut between elements is a clean end.
    const std::vector<uint8_t> whole = concat({implicitPatientName, {0x10, 0x00, 0x20, 0x00, 0x04, 0x00, 0x00, 0x00,
                                                                     '1', '2', '3', '4'}});
    for (size_t cut = implicitPatientName.size(); cut <= whole.size(); ++cut) {
        SCOPED_TRACE(::testing::Message() << "cut at " << cut);
        ScriptedStream stream(std::vector<uint8_t>(whole.begin(), whole.begin() + cut), 5);
        DataSet target;
        const int expected = (cut == implicitPatientName.size() || cut == whole.size()) ? 1 : 0;
        EXPECT_EQ(service.readImplicitLittle(&stream.buffered(), &target), expected);
        EXPECT_NE(target.find(0x0010, 0x0010), nullptr);
        EXPECT_EQ(target.find(0x0010, 0x0020) != nullptr, cut == whole.size());
    }
}

TEST_F(Codecs, LengthsBeyondTheInputAreNeverAllocated) {
    // Lengths close to 4 GiB over a few bytes of input: an allocation of that
    // size would abort under AddressSanitizer.
    const std::vector<std::vector<uint8_t>> hostile = {
        {0x10, 0x00, 0x10, 0x00, 0xF0, 0xFF, 0xFF, 0xFF, 'A', 'B'},
        {0x10, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x40, 'A', 'B'},
        {0x08, 0x00, 0x15, 0x11, 0x00, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0x00, 0xE0, 0xF0, 0xFF, 0xFF, 0x7F, 1, 2},
        // a defined-length item whose element claims more than the item and the input hold
        {0x08, 0x00, 0x15, 0x11, 0x00, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,
         0x08, 0x00, 0x50, 0x11, 0xF0, 0xFF, 0xFF, 0xEF, 1, 2},
    };
    for (const auto& bytes : hostile) {
        ScriptedStream stream(bytes);
        DataSet target;
        EXPECT_EQ(service.readImplicitLittle(&stream.buffered(), &target), 0);
        EXPECT_EQ(target.find(0x0010, 0x0010), nullptr);
    }
    ScriptedStream explicitStream({0x10, 0x00, 0x10, 0x00, 'O', 'B', 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 'A', 'B'});
    DataSet target;
    EXPECT_EQ(service.readExplicitLittle(&explicitStream.buffered(), &target), 0);
}

TEST_F(Codecs, NestingIsBounded) {
    // Items of undefined length nested depth deep, each under (0008,1115).
    auto nested = [](int depth) {
        std::vector<uint8_t> bytes;
        for (int level = 0; level < depth; ++level) {
            bytes.insert(bytes.end(), {0x08, 0x00, 0x15, 0x11, 0x00, 0x00, 0x00, 0x00});
            bytes.insert(bytes.end(), {0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF});
        }
        for (int level = 0; level < depth; ++level) bytes.insert(bytes.end(), {0xFE, 0xFF, 0x0D, 0xE0, 0, 0, 0, 0});
        return bytes;
    };
    {
        ScriptedStream stream(nested(10));
        DataSet target;
        EXPECT_EQ(service.readImplicitLittle(&stream.buffered(), &target), 1);
        DataSet* level = &target;
        for (int depth = 0; depth < 10; ++depth) {
            DataElement* sequence = level->find(0x0008, 0x1115);
            ASSERT_NE(sequence, nullptr) << depth;
            ASSERT_NE(sequence->items, nullptr) << depth;
            level = sequence->items->at(0)->element;
        }
    }
    for (int depth : {33, 100000}) {
        ScriptedStream stream(nested(depth));
        DataSet target;
        EXPECT_EQ(service.readImplicitLittle(&stream.buffered(), &target), 0) << depth;
    }
}

TEST_F(Codecs, ReadWithSyntaxSwitchesAfterTheMetaGroup) {
    struct Case {
        const char* what;
        std::string uid;
        std::vector<uint8_t> dataSet;  // (0008,0060) "CT" in the named encoding
        int result;
    };
    const std::vector<Case> cases = {
        {"explicit big endian", "1.2.840.10008.1.2.2", {0x00, 0x08, 0x00, 0x60, 'C', 'S', 0x00, 0x02, 'C', 'T'}, 1},
        {"implicit little endian, one trailing space", "1.2.840.10008.1.2 ",
         {0x08, 0x00, 0x60, 0x00, 0x02, 0x00, 0x00, 0x00, 'C', 'T'}, 1},
        {"implicit little endian, NUL padded", std::string("1.2.840.10008.1.2\0", 18),
         {0x08, 0x00, 0x60, 0x00, 0x02, 0x00, 0x00, 0x00, 'C', 'T'}, 1},
        {"a JPEG syntax reads as explicit little endian", "1.2.840.10008.1.2.4.50",
         {0x08, 0x00, 0x60, 0x00, 'C', 'S', 0x02, 0x00, 'C', 'T'}, 1},
        {"an unknown syntax", "1.2.3", {0x08, 0x00, 0x60, 0x00, 'C', 'S', 0x02, 0x00, 'C', 'T'}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string uid = c.uid;
        if (uid.size() % 2 != 0) uid.push_back('\0');
        const std::vector<uint8_t> meta = concat({
            {0x02, 0x00, 0x10, 0x00, 'U', 'I', static_cast<uint8_t>(uid.size()), 0x00},  // (0002,0010) UI
            text(uid),
        });
        ScriptedStream stream(concat({meta, c.dataSet}));
        DataSet target;
        EXPECT_EQ(service.readWithSyntax(&stream.buffered(), &target, ExplicitLittleEndian), c.result);
        EXPECT_NE(target.find(0x0002, 0x0010), nullptr);
        if (c.result == 1) {
            DataElement* modality = target.find(0x0008, 0x0060);
            ASSERT_NE(modality, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(modality->value), 2), "CT");
        }
    }
}

TEST_F(Codecs, WriteWithSyntaxWritesTheMetaGroupThenTheNamedEncoding) {
    DataSet source;
    source.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2", vrCode('U', 'I')));
    source.addElement(textElement(0x0008, 0x0060, "CT", vrCode('C', 'S')));
    ScriptedStream stream;
    ASSERT_EQ(service.writeWithSyntax(&source, &stream, ExplicitLittleEndian), 1);
    stream.flush();
    const std::vector<uint8_t> expected = concat({
        {0x02, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00, 26, 0x00, 0x00, 0x00},  // (0002,0000) explicit
        {0x02, 0x00, 0x10, 0x00, 'U', 'I', 18, 0x00},                          // (0002,0010) explicit
        text("1.2.840.10008.1.2"), {0x00},
        {0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 10, 0x00, 0x00, 0x00},  // (0008,0000) implicit
        {0x08, 0x00, 0x60, 0x00, 0x02, 0x00, 0x00, 0x00, 'C', 'T'},              // (0008,0060) implicit
    });
    EXPECT_EQ(stream.output, expected);

    // And back again.
    ScriptedStream input(stream.output);
    DataSet target;
    ASSERT_EQ(service.readWithSyntax(&input.buffered(), &target, ExplicitLittleEndian), 1);
    EXPECT_EQ(describe(&target), "(0002,0010) 18 312E322E3834302E31303030382E312E3200\n(0008,0060) 2 4354\n");
}

TEST_F(Codecs, WriteWithSyntaxRefusesAnUnknownSyntax) {
    DataSet source;
    source.addElement(textElement(0x0002, 0x0010, "1.2.3.4", vrCode('U', 'I')));
    source.addElement(textElement(0x0008, 0x0060, "CT", vrCode('C', 'S')));
    ScriptedStream stream;
    EXPECT_EQ(service.writeWithSyntax(&source, &stream, ExplicitLittleEndian), 0);
}

TEST_F(Codecs, WritingAnElementWithoutItsValueFails) {
    DataSet source;
    source.addElement(new DataElement(0x0010, 0x0010, 8, 0));  // length 8, no buffer
    ScriptedStream stream;
    EXPECT_EQ(service.writeImplicitLittle(&source, &stream), 0);
}

TEST(TransferSyntax, TableLookupIsExact) {
    EXPECT_EQ(findTransferSyntax("1.2.840.10008.1.2"), ImplicitLittleEndian);
    EXPECT_EQ(findTransferSyntax("1.2.840.10008.1.2.1"), ExplicitLittleEndian);
    EXPECT_EQ(findTransferSyntax("1.2.840.10008.1.2.2"), ExplicitBigEndian);
    EXPECT_EQ(findTransferSyntax("1.2.840.10008.1.2.4.70"), ExplicitLittleEndian);
    EXPECT_EQ(findTransferSyntax("1.2.840.10008.1.2.4.90"), 0);
    EXPECT_EQ(findTransferSyntax("1.2.840.10008.1.2 "), 0);
    EXPECT_EQ(findTransferSyntax(nullptr), 0);
    int rows = 0;
    while (transferSyntaxTable[rows].uid != nullptr) ++rows;
    EXPECT_EQ(rows, 21);
}

TEST_F(Codecs, GroupLengthsAndItemLengthsCountTheBytesAsWritten) {
    // An OB element (long form in explicit VR) and a sequence whose item
    // holds a nested item: each group length is checked against the bytes
    // that follow it, in both byte orders.
    for (auto write : {&AssociationService::writeExplicitLittle, &AssociationService::writeExplicitBig,
                       &AssociationService::writeImplicitLittle}) {
        DataSet source;
        source.addElement(bytesElement(0x0009, 0x0010, {1, 2, 3, 4}, vrCode('O', 'B')));
        source.addElement(bytesElement(0x0009, 0x0020, {}, vrCode('S', 'Q')));
        auto* item = new DataSet();
        item->addElement(bytesElement(0x0009, 0x0030, {}));
        auto* nested = new DataSet();
        nested->addElement(textElement(0x0009, 0x0040, "AB"));
        item->addItem(nested);
        source.addItem(item);
        ScriptedStream stream;
        ASSERT_EQ((service.*write)(&source, &stream), 1);
        stream.flush();
        const bool big = write == &AssociationService::writeExplicitBig;
        const bool explicitVr = write != &AssociationService::writeImplicitLittle;
        auto u32At = [&](size_t offset) {
            const uint8_t* b = stream.output.data() + offset;
            return big ? (uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3])
                       : (b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
        };
        const size_t headerEnd = 12;  // the group length element itself
        EXPECT_EQ(u32At(8), stream.output.size() - headerEnd);
        // The outer item header follows the OB element and the SQ header.
        const size_t obSize = (explicitVr ? 12 : 8) + 4, sqSize = explicitVr ? 12 : 8;
        const size_t itemHeader = headerEnd + obSize + sqSize;
        const size_t itemHeaderSize = explicitVr ? 12 : 8;
        EXPECT_EQ(u32At(itemHeader + itemHeaderSize - 4), stream.output.size() - itemHeader - itemHeaderSize);

        ScriptedStream input(stream.output);
        DataSet target;
        if (big) {
            ASSERT_EQ(service.readExplicitBig(&input.buffered(), &target), 1);
        } else if (explicitVr) {
            ASSERT_EQ(service.readExplicitLittle(&input.buffered(), &target), 1);
        } else {
            ASSERT_EQ(service.readImplicitLittle(&input.buffered(), &target), 1);
        }
        EXPECT_EQ(describe(&target), "(0009,0010) 4 01020304\n(0009,0020) 0 \n item\n  (0009,0030) 0 \n   item\n"
                                     "    (0009,0040) 2 4142\n");
    }
}

TEST_F(Codecs, ExplicitHeadersNeedVrLettersOrTwoZeroBytes) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int result;
    };
    const std::vector<Case> cases = {
        {"letters", {0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x02, 0x00, 'A', ' '}, 1},
        {"no VR, as the toolkit writes an element read from implicit VR", {0x10, 0x00, 0x10, 0x00, 0, 0, 0x02, 0x00, 'A', ' '}, 1},
        {"a NUL and a letter", {0x10, 0x00, 0x10, 0x00, 0x00, 'C', 0x02, 0x00, 'A', ' '}, 0},
        {"lower case", {0x10, 0x00, 0x10, 0x00, 'p', 'n', 0x02, 0x00, 'A', ' '}, 0},
        {"implicit length bytes", {0x10, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 'A', ' '}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedStream stream(c.bytes);
        DataSet target;
        EXPECT_EQ(service.readExplicitLittle(&stream.buffered(), &target), c.result);
        EXPECT_EQ(target.find(0x0010, 0x0010) != nullptr, c.result == 1);
    }
}

TEST_F(Codecs, DecodedSetsAreWrittenBackWholeOrNotAtAll) {
    // Each input decodes completely; the write either fails or gives bytes
    // that decode to the same elements and items.
    struct Case {
        const char* what;
        Reader read;
        Writer write;
        std::vector<uint8_t> bytes;
        std::string decoded;
        int written;
    };
    const std::vector<Case> cases = {
        {"an empty item, explicit big endian: an item of length 0 would read back as none", readExplicitBig,
         writeExplicitBig, explicitBigEmptyItem, "(1300,E000) 0 \n item\n", 0},
        {"an empty item, implicit little endian", readImplicitLittle, writeImplicitLittle, implicitEmptyItem,
         "(1300,E000) 0 \n item\n", 0},
        {"an item before any element belongs to none", readImplicitLittle, writeImplicitLittle, implicitItemFirst,
         "(0010,0010) 2 5820\nloose item\n", 0},
        {"an item right after the meta group, implicit VR named", readWithSyntax, writeWithSyntax,
         metaThenImplicitItem, "(0002,0010) 18 312E322E3834302E31303030382E312E3200\n item\n  (0008,0060) 2 4354\n", 1},
        {"an item right after the meta group, big endian named", readWithSyntax, writeWithSyntax, metaThenBigItem,
         "(0002,0010) 20 312E322E3834302E31303030382E312E322E3200\n item\n  (0008,0060) 2 4354\n", 1},
        {"group 0100 first after a meta group that switches the byte order", readWithSyntax, writeWithSyntax,
         metaThenGroup0100,
         "(0001,0010) 2 4354\n(0002,0010) 20 312E322E3834302E31303030382E312E322E3200\n(0100,0010) 2 4D52\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedStream input(c.bytes);
        DataSet decoded;
        service.itemBytesLeft = 0;
        ASSERT_EQ(c.read(service, &input.buffered(), &decoded), 1);
        EXPECT_EQ(describeWithLooseItems(&decoded), c.decoded);

        ScriptedStream again(c.bytes);
        DataSet source;
        ASSERT_EQ(c.read(service, &again.buffered(), &source), 1);
        ScriptedStream output;
        ASSERT_EQ(c.write(service, &source, &output), c.written);
        if (c.written == 0) continue;
        output.flush();
        ScriptedStream back(output.output);
        DataSet reread;
        ASSERT_EQ(c.read(service, &back.buffered(), &reread), 1);
        EXPECT_EQ(describeWithLooseItems(&reread), c.decoded);
    }
}
