#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../support/DataSetText.h"
#include "../support/Damage.h"
#include "../support/ScriptedStream.h"
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

// Explicit VR little endian, as other writers write it: a sequence of
// undefined length with an item of undefined length and one of defined
// length, then an element after the sequence.
const uint8_t undefinedSequenceExplicit[] = {
    0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00,  // (0008,1115) SQ, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length
    0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1150) UI length 4
    '1',  '.',  '2',  0x00,                          //     "1.2" and a NUL pad
    0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
    0xFE, 0xFF, 0x00, 0xE0, 0x0C, 0x00, 0x00, 0x00,  // item, length 12
    0x08, 0x00, 0x55, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1155) UI length 4
    '3',  '.',  '4',  0x00,                          //     "3.4" and a NUL pad
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x04, 0x00,  // (0010,0010) PN length 4
    'A',  '^',  'B',  ' ',
};
constexpr size_t undefinedSequenceEnd = 68;  // where (0010,0010) starts

const char* const undefinedSequenceText =
    "(0008,1115) 0 \n"
    " item\n"
    "  (0008,1150) 4 312E3200\n"
    " item\n"
    "  (0008,1155) 4 332E3400\n"
    "(0010,0010) 4 415E4220\n";

// The same set as the writers give it back asked to add group lengths:
// exact defined lengths, a group length element heading each group, inside
// the items too.
const uint8_t definedSequenceExplicit[] = {
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  // (0008,0000) UL length 4
    0x4C, 0x00, 0x00, 0x00,                          //   76: the sequence that follows
    0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00,  // (0008,1115) SQ, reserved
    0x40, 0x00, 0x00, 0x00,                          //   length 64: two items of 8 + 24
    0xFE, 0xFF, 0x00, 0xE0, 0x18, 0x00, 0x00, 0x00,  // item, length 24
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  //   (0008,0000) UL length 4
    0x0C, 0x00, 0x00, 0x00,                          //     12
    0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1150) UI length 4
    '1',  '.',  '2',  0x00,                          //
    0xFE, 0xFF, 0x00, 0xE0, 0x18, 0x00, 0x00, 0x00,  // item, length 24
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  //   (0008,0000) UL length 4
    0x0C, 0x00, 0x00, 0x00,                          //     12
    0x08, 0x00, 0x55, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1155) UI length 4
    '3',  '.',  '4',  0x00,                          //
    0x10, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  // (0010,0000) UL length 4
    0x0C, 0x00, 0x00, 0x00,                          //   12
    0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x04, 0x00,  // (0010,0010) PN length 4
    'A',  '^',  'B',  ' ',
};

// And as they give it back when asked to keep undefined lengths too.
const uint8_t keptUndefinedSequenceExplicit[] = {
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  // (0008,0000) UL length 4
    0x5C, 0x00, 0x00, 0x00,                          //   92: header 12, items 40 + 32, delimitation 8
    0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0x00, 0x00,  // (0008,1115) SQ, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  //   (0008,0000) UL length 4
    0x0C, 0x00, 0x00, 0x00,                          //     12
    0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1150) UI length 4
    '1',  '.',  '2',  0x00,                          //
    0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
    0xFE, 0xFF, 0x00, 0xE0, 0x18, 0x00, 0x00, 0x00,  // item, length 24
    0x08, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  //   (0008,0000) UL length 4
    0x0C, 0x00, 0x00, 0x00,                          //     12
    0x08, 0x00, 0x55, 0x11, 'U', 'I', 0x04, 0x00,  //   (0008,1155) UI length 4
    '3',  '.',  '4',  0x00,                          //
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    0x10, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  // (0010,0000) UL length 4
    0x0C, 0x00, 0x00, 0x00,                          //   12
    0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x04, 0x00,  // (0010,0010) PN length 4
    'A',  '^',  'B',  ' ',
};

// Implicit VR little endian: a sequence of undefined length whose item holds
// another one, then an element after both.
const uint8_t nestedSequencesImplicit[] = {
    0x40, 0x00, 0x30, 0xA7, 0xFF, 0xFF, 0xFF, 0xFF,  // (0040,A730), undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length
    0x40, 0x00, 0x30, 0xA7, 0xFF, 0xFF, 0xFF, 0xFF,  //   (0040,A730), undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  //   item, undefined length
    0x40, 0x00, 0x60, 0xA1, 0x02, 0x00, 0x00, 0x00,  //     (0040,A160) length 2
    'O',  'K',                                       //
    0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  //   item delimitation
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  //   sequence delimitation
    0x40, 0x00, 0x40, 0xA0, 0x02, 0x00, 0x00, 0x00,  //   (0040,A040) length 2, after the inner sequence
    'T',  'X',                                       //
    0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    0x40, 0x00, 0x44, 0xA7, 0x02, 0x00, 0x00, 0x00,  // (0040,A744) length 2
    'Z',  'Z',
};

const char* const nestedSequencesText =
    "(0040,A730) 0 \n"
    " item\n"
    "  (0040,A040) 2 5458\n"
    "  (0040,A730) 0 \n"
    "   item\n"
    "    (0040,A160) 2 4F4B\n"
    "(0040,A744) 2 5A5A\n";

const char* const nestedSequencesKeptText =
    "(0040,A730) 4294967295 \n"
    " item\n"
    "  (0040,A040) 2 5458\n"
    "  (0040,A730) 4294967295 \n"
    "   item\n"
    "    (0040,A160) 2 4F4B\n"
    "(0040,A744) 2 5A5A\n";

// Explicit VR big endian: a sequence of defined length whose item is in
// explicit VR big endian too.
const uint8_t definedSequenceBig[] = {
    0x00, 0x08, 0x11, 0x15, 'S', 'Q', 0x00, 0x00,  // (0008,1115) SQ, reserved
    0x00, 0x00, 0x00, 0x14,                          //   length 20
    0xFF, 0xFE, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x0C,  // item, length 12
    0x00, 0x08, 0x11, 0x50, 'U', 'S', 0x00, 0x04,  //   (0008,1150) US length 4
    0x01, 0x02, 0x03, 0x04,                          //     two numbers, big endian as they came
    0x00, 0x10, 0x00, 0x10, 'P', 'N', 0x00, 0x02,  // (0010,0010) PN length 2
    'X',  ' ',
};

// Encapsulated pixel data: a basic offset table of one frame and two
// fragments, the first holding the bytes of a sequence delimitation.
const uint8_t encapsulatedPixelData[] = {
    0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0x00, 0x00,  // (7FE0,0010) OB, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0x04, 0x00, 0x00, 0x00,  // item: basic offset table, length 4
    0x00, 0x00, 0x00, 0x00,                          //   frame 1 at offset 0
    0xFE, 0xFF, 0x00, 0xE0, 0x06, 0x00, 0x00, 0x00,  // item: fragment, length 6
    0xFF, 0xD8, 0xFE, 0xFF, 0xDD, 0xE0,              //   compressed bytes, delimiter-like inside
    0xFE, 0xFF, 0x00, 0xE0, 0x02, 0x00, 0x00, 0x00,  // item: fragment, length 2
    0xFF, 0xD9,                                      //   compressed bytes
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
};
constexpr size_t encapsulatedValueSize = 36;  // the items, without the header and the delimitation

// Explicit VR big endian around a UN element of undefined length, whose
// sequence is in implicit VR little endian.
const uint8_t unknownSequenceBig[] = {
    0x00, 0x09, 0x10, 0x10, 'U', 'N', 0x00, 0x00,  // (0009,1010) UN, reserved
    0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
    0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length, little endian
    0x09, 0x00, 0x11, 0x10, 0x02, 0x00, 0x00, 0x00,  //   (0009,1011) implicit VR, length 2
    'A',  'B',                                       //
    0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
    0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    0x00, 0x10, 0x00, 0x10, 'P', 'N', 0x00, 0x02,  // (0010,0010) PN length 2, big endian again
    'X',  ' ',
};

// Implicit VR little endian: a private element whose value is a whole run
// of items (a sequence without a VR to say so), and one whose value only
// starts like an item.
const uint8_t privateSequenceImplicit[] = {
    0x09, 0x00, 0x10, 0x10, 0x12, 0x00, 0x00, 0x00,  // (0009,1010) length 18
    0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,  //   item, length 10
    0x09, 0x00, 0x11, 0x10, 0x02, 0x00, 0x00, 0x00,  //     (0009,1011) length 2
    'A',  'B',                                       //
    0x09, 0x00, 0x20, 0x10, 0x08, 0x00, 0x00, 0x00,  // (0009,1020) length 8
    0xFE, 0xFF, 0x00, 0xE0, 0x08, 0x00, 0x00, 0x00,  //   an item header claiming 8 bytes that are not there
};

class StandardEncoding : public ::testing::Test {
protected:
    using Reader = int (StandardEncodingService::*)(ByteStream*, DataSet*);
    using Writer = int (StandardEncodingService::*)(DataSet*, ByteStream*);

    int read(Reader reader, const Bytes& bytes, DataSet& target) {
        ScriptedStream stream(bytes);
        return (service.*reader)(&stream.buffered(), &target);
    }

    Bytes write(Writer writer, DataSet& source) {
        ScriptedStream stream;
        EXPECT_EQ((service.*writer)(&source, &stream), 1);
        stream.flush();
        return stream.output;
    }

    StandardEncodingService service;
};

}  // namespace

TEST_F(StandardEncoding, ReadsSequencesAndItemsOfUndefinedLengthAndTheElementAfterThem) {
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(undefinedSequenceExplicit), target), 1);
    EXPECT_EQ(service.lastProblem.reason, nullptr);
    DataElement* sequence = target.find(0x0008, 0x1115);
    ASSERT_NE(sequence, nullptr);
    EXPECT_EQ(sequence->vr, vrCode('S', 'Q'));
    EXPECT_EQ(sequence->length, 0u);
    EXPECT_EQ(sequence->value, nullptr);
    ASSERT_NE(sequence->items, nullptr);
    ASSERT_EQ(sequence->items->count(), 2u);
    // Items are plain data sets unless undefined lengths are to be kept.
    EXPECT_EQ(dynamic_cast<UndefinedLengthItem*>(sequence->items->at(0)->element), nullptr);
    EXPECT_EQ(sequence->items->at(1)->element->find(0x0008, 0x1155)->vr, vrCode('U', 'I'));
    EXPECT_EQ(describe(&target), undefinedSequenceText);
}

TEST_F(StandardEncoding, ReadsNestedSequencesOfUndefinedLengthInImplicitVr) {
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readImplicitLittle, bytesOf(nestedSequencesImplicit), target), 1);
    EXPECT_EQ(describe(&target), nestedSequencesText);
}

TEST_F(StandardEncoding, ReadsExplicitVrItemsOfADefinedLengthSequenceInBigEndian) {
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitBig, bytesOf(definedSequenceBig), target), 1);
    DataElement* sequence = target.find(0x0008, 0x1115);
    ASSERT_NE(sequence, nullptr);
    ASSERT_NE(sequence->items, nullptr);
    DataElement* numbers = sequence->items->at(0)->element->find(0x0008, 0x1150);
    ASSERT_NE(numbers, nullptr);
    EXPECT_EQ(numbers->vr, vrCode('U', 'S'));
    EXPECT_EQ(describe(&target), "(0008,1115) 0 \n item\n  (0008,1150) 4 01020304\n(0010,0010) 2 5820\n");
}

TEST_F(StandardEncoding, ReadsAUnSequenceOfUndefinedLengthInImplicitLittleEndianInsideBigEndian) {
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitBig, bytesOf(unknownSequenceBig), target), 1);
    EXPECT_EQ(target.find(0x0009, 0x1010)->vr, vrCode('U', 'N'));
    EXPECT_EQ(describe(&target), "(0009,1010) 0 \n item\n  (0009,1011) 2 4142\n(0010,0010) 2 5820\n");
}

TEST_F(StandardEncoding, ImplicitValueThatIsAWholeRunOfItemsIsReadAsASequence) {
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readImplicitLittle, bytesOf(privateSequenceImplicit), target), 1);
    EXPECT_EQ(describe(&target),
              "(0009,1010) 0 \n item\n  (0009,1011) 2 4142\n"
              "(0009,1020) 8 FEFF00E008000000\n");
    EXPECT_EQ(service.lastProblem.reason, nullptr);
}

TEST_F(StandardEncoding, KeepsEncapsulatedPixelDataAsTheExactBytesOfItsItems) {
    const Bytes fixture = bytesOf(encapsulatedPixelData);
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, fixture, target), 1);
    DataElement* pixels = target.find(0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels->vr, vrCode('O', 'B'));
    ASSERT_EQ(pixels->length, encapsulatedValueSize);
    EXPECT_EQ(Bytes(pixels->value, pixels->value + pixels->length),
              Bytes(fixture.begin() + 12, fixture.begin() + 12 + encapsulatedValueSize));
    EXPECT_EQ(pixels->items, nullptr);
}

TEST_F(StandardEncoding, WritesEncapsulatedPixelDataBackByteForByteInACompressedSyntax) {
    const Bytes fixture = bytesOf(encapsulatedPixelData);
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, fixture, target), 1);
    ScriptedStream stream;
    ASSERT_EQ(service.writeWithCode(EncapsulatedLittleEndian, &target, &stream), 1);
    stream.flush();
    EXPECT_EQ(stream.output, fixture);
    EXPECT_EQ(service.encapsulatedPixelData, 0);  // the setting is given back
}

TEST_F(StandardEncoding, PixelDataKeepTheirBytesWithADefinedLengthInAnUncompressedSyntax) {
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(encapsulatedPixelData), target), 1);
    const Bytes written = write(&StandardEncodingService::writeExplicitLittle, target);
    ASSERT_EQ(written.size(), 12u + encapsulatedValueSize);
    const uint8_t header[] = {
        0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0x00, 0x00,  // (7FE0,0010) OB, reserved
        0x24, 0x00, 0x00, 0x00,                          //   length 36
    };
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 12), bytesOf(header));
}

TEST_F(StandardEncoding, WritesSequencesWithExactDefinedLengthsAndExplicitItems) {
    // Asked to add group lengths: every one counts the exact bytes of its
    // group, in the items too.
    service.groupLengths = StandardEncodingService::addGroupLengths;
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(undefinedSequenceExplicit), target), 1);
    EXPECT_EQ(write(&StandardEncodingService::writeExplicitLittle, target), bytesOf(definedSequenceExplicit));
}

TEST_F(StandardEncoding, KeepsUndefinedLengthsAndDelimitersWhenAskedTo) {
    service.keepUndefinedLengths = 1;
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(undefinedSequenceExplicit), target), 1);
    DataElement* sequence = target.find(0x0008, 0x1115);
    EXPECT_EQ(sequence->length, 0xFFFFFFFFu);
    EXPECT_NE(dynamic_cast<UndefinedLengthItem*>(sequence->items->at(0)->element), nullptr);
    EXPECT_EQ(dynamic_cast<UndefinedLengthItem*>(sequence->items->at(1)->element), nullptr);
    // Byte for byte as it came, without a group length it never had.
    EXPECT_EQ(write(&StandardEncodingService::writeExplicitLittle, target), bytesOf(undefinedSequenceExplicit));

    // Asked to add them: each counts the delimiters of its group.
    service.groupLengths = StandardEncodingService::addGroupLengths;
    DataSet again;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(undefinedSequenceExplicit), again), 1);
    EXPECT_EQ(write(&StandardEncodingService::writeExplicitLittle, again), bytesOf(keptUndefinedSequenceExplicit));
}

TEST_F(StandardEncoding, WritesGroupLengthsWhereTheDataSetHadThemAndAsTheSettingSays) {
    // definedSequenceExplicit has a group length before every group, in the
    // items too; undefinedSequenceExplicit has none. Keep (the default)
    // writes each as it came; remove drops them all, add puts them
    // everywhere; the values are always recomputed.
    struct Case {
        const char* what;
        int32_t setting;
        const uint8_t* input;
        size_t inputSize;
        const uint8_t* expected;
        size_t expectedSize;
    };
    const Case cases[] = {
        {"keep, with group lengths", StandardEncodingService::keepGroupLengths, definedSequenceExplicit,
         sizeof definedSequenceExplicit, definedSequenceExplicit, sizeof definedSequenceExplicit},
        {"remove, with group lengths", StandardEncodingService::removeGroupLengths, definedSequenceExplicit,
         sizeof definedSequenceExplicit, nullptr, 0},
        {"add, without group lengths", StandardEncodingService::addGroupLengths, undefinedSequenceExplicit,
         sizeof undefinedSequenceExplicit, definedSequenceExplicit, sizeof definedSequenceExplicit},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        service.groupLengths = c.setting;
        DataSet target;
        ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, Bytes(c.input, c.input + c.inputSize), target), 1);
        const Bytes written = write(&StandardEncodingService::writeExplicitLittle, target);
        if (c.expected != nullptr) {
            EXPECT_EQ(written, Bytes(c.expected, c.expected + c.expectedSize));
            continue;
        }
        DataSet again;
        ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, written, again), 1);
        EXPECT_EQ(describe(&again), undefinedSequenceText);
        EXPECT_EQ(written.size(), sizeof definedSequenceExplicit - 4 * 12);
    }
}

TEST_F(StandardEncoding, AGroupLengthWithAWrongValueIsWrittenWithTheRightOne) {
    const uint8_t wrong[] = {
        0x10, 0x00, 0x00, 0x00, 'U', 'L', 0x04, 0x00,  // (0010,0000) UL length 4
        0x63, 0x00, 0x00, 0x00,                          //   99, where the group has 12
        0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x04, 0x00,  // (0010,0010) PN length 4
        'A',  '^',  'B',  ' ',
    };
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(wrong), target), 1);
    Bytes right = bytesOf(wrong);
    right[8] = 0x0C;
    EXPECT_EQ(write(&StandardEncodingService::writeExplicitLittle, target), right);
}

TEST_F(StandardEncoding, ANewDataSetGetsGroupLengthsOnlyForTheCommandAndMetaGroups) {
    DataSet source;
    source.addElement(bytesElement(0x0000, 0x0100, {0x30, 0x00}));
    source.addElement(bytesElement(0x0002, 0x0001, {0x00, 0x01}));
    source.addElement(bytesElement(0x0010, 0x0010, {'X', ' '}));
    const uint8_t expected[] = {
        0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0000,0000) length 4
        0x0A, 0x00, 0x00, 0x00,                          //   10
        0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00,  // (0000,0100) length 2
        0x30, 0x00,                                      //
        0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0002,0000) length 4
        0x0A, 0x00, 0x00, 0x00,                          //   10
        0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,  // (0002,0001) length 2
        0x00, 0x01,                                      //
        0x10, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00,  // (0010,0010) length 2, no (0010,0000)
        'X',  ' ',
    };
    EXPECT_EQ(write(&StandardEncodingService::writeImplicitLittle, source), bytesOf(expected));

    // A group length the caller adds is a group length asked for.
    DataSet asked;
    asked.addElement(bytesElement(0x0010, 0x0000, {0, 0, 0, 0}));
    asked.addElement(bytesElement(0x0010, 0x0010, {'X', ' '}));
    const uint8_t withLength[] = {
        0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // (0010,0000) length 4
        0x0A, 0x00, 0x00, 0x00,                          //   10
        0x10, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00,  // (0010,0010) length 2
        'X',  ' ',
    };
    EXPECT_EQ(write(&StandardEncodingService::writeImplicitLittle, asked), bytesOf(withLength));
}

TEST_F(StandardEncoding, APrivateSequenceKeepsAnUndefinedLengthInImplicitVr) {
    // No dictionary names a private sequence: with a defined length a reader
    // of implicit VR takes it for plain bytes. So one that came with an
    // undefined length keeps it; one that came with a defined length was
    // plain bytes to readers and stays so; a public one gets its exact length.
    const uint8_t nested[] = {
        0x09, 0x00, 0x10, 0x10, 0xFF, 0xFF, 0xFF, 0xFF,  // (0009,1010) undefined length
        0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length
        0x09, 0x00, 0x11, 0x10, 0x02, 0x00, 0x00, 0x00,  //   (0009,1011) length 2
        'A',  'B',                                       //
        0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
        0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
        0x0B, 0x00, 0x10, 0x10, 0x12, 0x00, 0x00, 0x00,  // (000B,1010) length 18: items, yet plain bytes
        0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,  //   item, length 10
        0x0B, 0x00, 0x11, 0x10, 0x02, 0x00, 0x00, 0x00,  //     (000B,1011) length 2
        'C',  'D',                                       //
        0x40, 0x00, 0x30, 0xA7, 0xFF, 0xFF, 0xFF, 0xFF,  // (0040,A730) undefined length
        0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,  // item, length 10
        0x40, 0x00, 0x60, 0xA1, 0x02, 0x00, 0x00, 0x00,  //   (0040,A160) length 2
        'O',  'K',                                       //
        0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    };
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readImplicitLittle, bytesOf(nested), target), 1);
    Bytes expected = bytesOf(nested);
    // The item of undefined length gets its length 10 (not kept: not asked
    // for), the public sequence its length 18.
    const uint8_t privateItem[] = {0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00};
    std::copy(std::begin(privateItem), std::end(privateItem), expected.begin() + 8);
    expected.erase(expected.begin() + 26, expected.begin() + 34);  // its delimitation
    const uint8_t publicHeader[] = {0x40, 0x00, 0x30, 0xA7, 0x12, 0x00, 0x00, 0x00};
    std::copy(std::begin(publicHeader), std::end(publicHeader), expected.end() - 34);
    expected.erase(expected.end() - 8, expected.end());  // its delimitation
    EXPECT_EQ(write(&StandardEncodingService::writeImplicitLittle, target), expected);

    // A private sequence read from explicit VR, written in implicit VR.
    const uint8_t explicitPrivate[] = {
        0x09, 0x00, 0x10, 0x10, 'S',  'Q',  0x00, 0x00,  // (0009,1010) SQ, reserved
        0x12, 0x00, 0x00, 0x00,                          //   length 18
        0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,  // item, length 10
        0x09, 0x00, 0x11, 0x10, 'L',  'O',  0x02, 0x00,  //   (0009,1011) LO length 2
        'A',  'B',
    };
    const uint8_t implicitPrivate[] = {
        0x09, 0x00, 0x10, 0x10, 0xFF, 0xFF, 0xFF, 0xFF,  // (0009,1010) undefined length
        0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,  // item, length 10
        0x09, 0x00, 0x11, 0x10, 0x02, 0x00, 0x00, 0x00,  //   (0009,1011) length 2
        'A',  'B',                                       //
        0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation
    };
    DataSet fromExplicit;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitLittle, bytesOf(explicitPrivate), fromExplicit), 1);
    EXPECT_EQ(write(&StandardEncodingService::writeImplicitLittle, fromExplicit), bytesOf(implicitPrivate));
}

TEST_F(StandardEncoding, WritesAUnSequenceInImplicitLittleEndianInsideBigEndian) {
    service.keepUndefinedLengths = 1;
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitBig, bytesOf(unknownSequenceBig), target), 1);
    // As it came, byte for byte.
    EXPECT_EQ(write(&StandardEncodingService::writeExplicitBig, target), bytesOf(unknownSequenceBig));

    // With group lengths added: the one inside the UN item little endian too.
    service.groupLengths = StandardEncodingService::addGroupLengths;
    DataSet again;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitBig, bytesOf(unknownSequenceBig), again), 1);
    const Bytes written = write(&StandardEncodingService::writeExplicitBig, again);
    const uint8_t expected[] = {
        0x00, 0x09, 0x00, 0x00, 'U', 'L', 0x00, 0x04,  // (0009,0000) UL length 4
        0x00, 0x00, 0x00, 0x3A,                          //   58
        0x00, 0x09, 0x10, 0x10, 'U', 'N', 0x00, 0x00,  // (0009,1010) UN, reserved
        0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
        0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,  // item, undefined length, little endian
        0x09, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  //   (0009,0000) implicit VR, length 4
        0x0A, 0x00, 0x00, 0x00,                          //     10
        0x09, 0x00, 0x11, 0x10, 0x02, 0x00, 0x00, 0x00,  //   (0009,1011) length 2
        'A',  'B',                                       //
        0xFE, 0xFF, 0x0D, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item delimitation
        0xFE, 0xFF, 0xDD, 0xE0, 0x00, 0x00, 0x00, 0x00,  // sequence delimitation, part of the value
        0x00, 0x10, 0x00, 0x00, 'U', 'L', 0x00, 0x04,  // (0010,0000) UL length 4
        0x00, 0x00, 0x00, 0x0A,                          //   10
        0x00, 0x10, 0x00, 0x10, 'P', 'N', 0x00, 0x02,  // (0010,0010) PN length 2
        'X',  ' ',
    };
    EXPECT_EQ(written, bytesOf(expected));
}

TEST_F(StandardEncoding, UnSequenceKeepsItsUndefinedLengthSoThatItStaysASequence) {
    // With a defined length a UN value is plain bytes to every reader.
    DataSet target;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitBig, bytesOf(unknownSequenceBig), target), 1);
    const Bytes written = write(&StandardEncodingService::writeExplicitBig, target);
    const uint8_t header[] = {
        0x00, 0x09, 0x10, 0x10, 'U', 'N', 0x00, 0x00,  // (0009,1010) UN, reserved
        0xFF, 0xFF, 0xFF, 0xFF,                          //   undefined length
        0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0x00, 0x00, 0x00,  // item of defined length 10, little endian
    };
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 20), bytesOf(header));
    DataSet again;
    ASSERT_EQ(read(&StandardEncodingService::readExplicitBig, written, again), 1);
    EXPECT_EQ(describe(&again), "(0009,1010) 0 \n item\n  (0009,1011) 2 4142\n(0010,0010) 2 5820\n");
}

TEST_F(StandardEncoding, ElementsOfUnknownVrAreWrittenAsUnInExplicitVr) {
    DataSet source;
    source.addElement(bytesElement(0x0009, 0x1001, {1, 2}));
    const Bytes written = write(&StandardEncodingService::writeExplicitLittle, source);
    const uint8_t element[] = {
        0x09, 0x00, 0x01, 0x10, 'U', 'N', 0x00, 0x00,  // (0009,1001) UN, reserved
        0x02, 0x00, 0x00, 0x00, 0x01, 0x02,              //   length 2, value
    };
    EXPECT_EQ(written, bytesOf(element));
}

TEST_F(StandardEncoding, ReadsTheToolkitsOwnEncodingAsTheBaseServiceDoes) {
    // The base service writes items after their element, always implicit VR
    // inside; files it wrote stay readable.
    for (int explicitVr = 0; explicitVr < 2; ++explicitVr) {
        SCOPED_TRACE(explicitVr ? "explicit" : "implicit");
        auto makeSet = [] {
            auto* set = new DataSet();
            set->addElement(bytesElement(0x0008, 0x1115, {}, vrCode('S', 'Q')));
            auto* item = new DataSet();
            item->addElement(textElement(0x0008, 0x1150, "1.2"));
            set->addItem(item);
            // (An empty item is not written: the base writers refuse it, since it
            // would read back as no item at all.)
            set->addElement(textElement(0x0010, 0x0010, "A^B", vrCode('P', 'N')));
            return set;
        };
        AssociationService base;
        DataSet* source = makeSet();
        ScriptedStream stream;
        ASSERT_EQ(explicitVr ? base.writeExplicitLittle(source, &stream) : base.writeImplicitLittle(source, &stream), 1);
        delete source;
        stream.flush();
        DataSet target;
        ASSERT_EQ(read(explicitVr ? &StandardEncodingService::readExplicitLittle : &StandardEncodingService::readImplicitLittle,
                       stream.output, target),
                  1);
        EXPECT_EQ(describe(&target), "(0008,1115) 0 \n item\n  (0008,1150) 4 312E3200\n(0010,0010) 4 415E4200\n");
    }
}

TEST_F(StandardEncoding, RoundTripsSequencesInEverySyntax) {
    struct Syntax {
        const char* name;
        Reader read;
        Writer write;
    };
    const Syntax syntaxes[] = {
        {"implicit little", &StandardEncodingService::readImplicitLittle, &StandardEncodingService::writeImplicitLittle},
        {"explicit little", &StandardEncodingService::readExplicitLittle, &StandardEncodingService::writeExplicitLittle},
        {"explicit big", &StandardEncodingService::readExplicitBig, &StandardEncodingService::writeExplicitBig},
    };
    for (const Syntax& syntax : syntaxes) {
        for (int keep = 0; keep < 2; ++keep) {
            SCOPED_TRACE(::testing::Message() << syntax.name << (keep ? ", undefined lengths kept" : ""));
            service.keepUndefinedLengths = keep;
            DataSet first;
            ASSERT_EQ(read(&StandardEncodingService::readImplicitLittle, bytesOf(nestedSequencesImplicit), first), 1);
            const Bytes once = write(syntax.write, first);
            DataSet second;
            ASSERT_EQ(read(syntax.read, once, second), 1);
            const Bytes twice = write(syntax.write, second);
            EXPECT_EQ(twice, once);
            DataSet third;
            ASSERT_EQ(read(syntax.read, twice, third), 1);
            // Kept, the undefined lengths show on the sequence elements.
            EXPECT_EQ(describe(&third), keep ? nestedSequencesKeptText : nestedSequencesText);
        }
    }
}

TEST_F(StandardEncoding, TruncatedInputFailsCleanlyAtEveryCut) {
    struct Fixture {
        const char* name;
        Reader read;
        Bytes bytes;
        std::vector<size_t> cleanCuts;  // cuts between top-level elements
    };
    const std::vector<Fixture> fixtures = {
        {"undefined sequence", &StandardEncodingService::readExplicitLittle, bytesOf(undefinedSequenceExplicit),
         {undefinedSequenceEnd}},
        {"nested sequences", &StandardEncodingService::readImplicitLittle, bytesOf(nestedSequencesImplicit),
         {sizeof nestedSequencesImplicit - 10}},
        {"defined sequence, big endian", &StandardEncodingService::readExplicitBig, bytesOf(definedSequenceBig),
         {32}},
        {"encapsulated pixel data", &StandardEncodingService::readExplicitLittle, bytesOf(encapsulatedPixelData), {}},
        {"UN sequence", &StandardEncodingService::readExplicitBig, bytesOf(unknownSequenceBig),
         {sizeof unknownSequenceBig - 10}},
    };
    for (const Fixture& fixture : fixtures) {
        for (size_t cut = 1; cut < fixture.bytes.size(); ++cut) {
            SCOPED_TRACE(::testing::Message() << fixture.name << ", cut at " << cut);
            DataSet target;
            const bool clean = std::find(fixture.cleanCuts.begin(), fixture.cleanCuts.end(), cut) != fixture.cleanCuts.end();
            EXPECT_EQ(read(fixture.read, Bytes(fixture.bytes.begin(), fixture.bytes.begin() + cut), target), clean ? 1 : 0);
            EXPECT_EQ(service.lastProblem.reason == nullptr, clean);
            target.clear();
        }
    }
}

TEST_F(StandardEncoding, DamagedStructuresFailWithTheirReason) {
    struct Case {
        const char* what;
        Reader read;
        Bytes bytes;
        const char* reason;
        uint16_t group, element;
    };
    const std::vector<Case> cases = {
        {"an item longer than its sequence", &StandardEncodingService::readExplicitLittle,
         {0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0, 0, 0x08, 0, 0, 0,  // SQ length 8
          0xFE, 0xFF, 0x00, 0xE0, 0x10, 0, 0, 0,                   // item length 16
          0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00, '1', '.', '2', 0},
         "item runs past the end of its sequence", 0xFFFE, 0xE000},
        {"an element in a sequence outside any item", &StandardEncodingService::readExplicitLittle,
         {0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,  // SQ undefined length
          0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00, '1', '.', '2', 0},
         "sequence holds an element outside an item", 0x0008, 0x1150},
        {"an undefined item never delimited in a defined sequence", &StandardEncodingService::readExplicitLittle,
         {0x08, 0x00, 0x15, 0x11, 'S', 'Q', 0, 0, 0x14, 0, 0, 0,          // SQ length 20
          0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF,                 // item, undefined length
          0x08, 0x00, 0x50, 0x11, 'U', 'I', 0x04, 0x00, '1', '.', '2', 0,  // and nothing to end it
          0x10, 0x00, 0x10, 0x00, 'P', 'N', 0x02, 0x00, 'X', ' '},
         "item of undefined length not delimited within its sequence", 0xFFFE, 0xE000},
        {"a value running past the end of its item", &StandardEncodingService::readImplicitLittle,
         {0x08, 0x00, 0x15, 0x11, 0xFF, 0xFF, 0xFF, 0xFF,           // sequence, undefined length
          0xFE, 0xFF, 0x00, 0xE0, 0x0A, 0, 0, 0,                   // item length 10
          0x08, 0x00, 0x50, 0x11, 0x04, 0, 0, 0, '1', '.', '2', 0,  // 12 bytes
          0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0},
         "value runs past the end of its item", 0x0008, 0x1150},
        {"a fragment longer than the input", &StandardEncodingService::readExplicitLittle,
         {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,  // pixel data, undefined
          0xFE, 0xFF, 0x00, 0xE0, 0, 0, 0, 0,                             // empty offset table
          0xFE, 0xFF, 0x00, 0xE0, 0xF0, 0xFF, 0xFF, 0x7F, 0xFF, 0xD8},    // fragment of 2 GiB
         "fragment runs past the end of the input", 0x7FE0, 0x0010},
        {"encapsulated data holding an element", &StandardEncodingService::readExplicitLittle,
         {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
          0x08, 0x00, 0x50, 0x11, 0x04, 0, 0, 0, '1', '.', '2', 0},
         "encapsulated value holds something other than items", 0x7FE0, 0x0010},
        {"a group length of undefined length", &StandardEncodingService::readImplicitLittle,
         {0x08, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0},
         "a group length cannot be a sequence", 0x0008, 0x0000},
        {"letters that are no VR", &StandardEncodingService::readExplicitLittle,
         {0x10, 0x00, 0x10, 0x00, 'p', 'n', 0x02, 0x00, 'X', ' '}, "not an explicit VR element header", 0x0010,
         0x0010},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DataSet target;
        EXPECT_EQ(read(c.read, c.bytes, target), 0);
        ASSERT_NE(service.lastProblem.reason, nullptr);
        EXPECT_STREQ(service.lastProblem.reason, c.reason);
        EXPECT_EQ(service.lastProblem.group, c.group);
        EXPECT_EQ(service.lastProblem.element, c.element);
    }
}

TEST_F(StandardEncoding, NestingIsBoundedForReadingAndWriting) {
    // (0040,A730) of undefined length holding an item of undefined length,
    // depth times, closed by the delimitations.
    auto nested = [](int depth) {
        Bytes bytes;
        bytes.reserve(static_cast<size_t>(depth) * 32);
        for (int level = 0; level < depth; ++level) {
            bytes.insert(bytes.end(), {0x40, 0x00, 0x30, 0xA7, 0xFF, 0xFF, 0xFF, 0xFF});
            bytes.insert(bytes.end(), {0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF});
        }
        for (int level = 0; level < depth; ++level) {
            bytes.insert(bytes.end(), {0xFE, 0xFF, 0x0D, 0xE0, 0, 0, 0, 0});
            bytes.insert(bytes.end(), {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0});
        }
        return bytes;
    };
    {
        DataSet target;
        ASSERT_EQ(read(&StandardEncodingService::readImplicitLittle, nested(StandardEncodingService::maximumNesting),
                       target),
                  1);
        // The deepest set the reader makes, the writers write.
        ScriptedStream stream;
        EXPECT_EQ(service.writeExplicitLittle(&target, &stream), 1);
    }
    for (int depth : {StandardEncodingService::maximumNesting + 1, 100000}) {
        SCOPED_TRACE(depth);
        DataSet target;
        EXPECT_EQ(read(&StandardEncodingService::readImplicitLittle, nested(depth), target), 0);
        ASSERT_NE(service.lastProblem.reason, nullptr);
        EXPECT_STREQ(service.lastProblem.reason, "items nested too deep");
    }
    // A set built deeper than that is refused by the writers.
    DataSet source;
    DataSet* level = &source;
    for (int depth = 0; depth <= StandardEncodingService::maximumNesting; ++depth) {
        level->addElement(bytesElement(0x0040, 0xA730, {}, vrCode('S', 'Q')));
        auto* item = new DataSet();
        level->addItem(item);
        level = item;
    }
    ScriptedStream stream;
    EXPECT_EQ(service.writeExplicitLittle(&source, &stream), 0);
}

// Every reader over thousands of damaged encodings of the fixtures: each
// read ends with 1 or 0 without reading, writing or allocating past what the
// input holds (the sanitizer build turns any such access into a failure),
// and whatever decodes completely is written and read back unchanged.
TEST_F(StandardEncoding, DamagedEncodingsNeverBreakTheDecoders) {
    struct Fixture {
        Reader read;
        Writer write;
        Bytes bytes;
    };
    const Fixture fixtures[] = {
        {&StandardEncodingService::readExplicitLittle, &StandardEncodingService::writeExplicitLittle,
         concat({bytesOf(undefinedSequenceExplicit), bytesOf(encapsulatedPixelData)})},
        {&StandardEncodingService::readImplicitLittle, &StandardEncodingService::writeImplicitLittle,
         concat({bytesOf(privateSequenceImplicit), bytesOf(nestedSequencesImplicit)})},
        {&StandardEncodingService::readExplicitBig, &StandardEncodingService::writeExplicitBig,
         concat({bytesOf(definedSequenceBig), bytesOf(unknownSequenceBig)})},
    };
    std::mt19937 random(20261212);
    int decodedWhole = 0, refused = 0;
    for (const Fixture& fixture : fixtures) {
        for (int round = 0; round < 1500; ++round) {
            const Bytes input = damaged(fixture.bytes, random);
            service.keepUndefinedLengths = round % 2;
            DataSet first;
            if (read(fixture.read, input, first) == 0) {
                EXPECT_NE(service.lastProblem.reason, nullptr);
                ++refused;
                continue;
            }
            ++decodedWhole;
            ScriptedStream stream;
            if ((service.*fixture.write)(&first, &stream) == 0) continue;
            stream.flush();
            DataSet second;
            ASSERT_EQ(read(fixture.read, stream.output, second), 1) << service.lastProblem.reason;
            ScriptedStream again;
            ASSERT_EQ((service.*fixture.write)(&second, &again), 1);
            again.flush();
            EXPECT_EQ(again.output, stream.output);
        }
    }
    // Both outcomes occur: the damage is neither always fatal nor always harmless.
    EXPECT_GT(decodedWhole, 100);
    EXPECT_GT(refused, 100);
}

// Found by the codec fuzzer: explicit VR big endian input whose meta group
// names no transfer syntax. What follows such a meta group is recognised
// from its first element when read, which takes big-endian group numbers for
// little endian, so the write must fail rather than produce bytes that read
// back as something else.
TEST_F(StandardEncoding, RefusesABigEndianMetaGroupWithoutATransferSyntax) {
    const uint8_t input[] = {
        0x00, 0x02, 0x00, 0x24, 0x00, 0x00, 0x00, 0x00,  // (0002,0024) no VR, length 0
        0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  // (0100,0002) no VR, length 0
    };
    StandardEncodingService service;
    ScriptedStream in(bytesOf(input));
    DataSet set;
    service.itemBytesLeft = 0;
    ASSERT_EQ(service.readWithSyntax(&in.buffered(), &set, ExplicitBigEndian), 1);
    ScriptedStream out;
    EXPECT_EQ(service.writeWithSyntax(&set, &out, ExplicitBigEndian), 0);
}

// Found by the codec fuzzer: an item before any element decodes as an item
// of no element, which no writer can place; writing it must fail, not drop it.
TEST_F(StandardEncoding, RefusesToWriteAnItemOfNoElement) {
    const uint8_t input[] = {
        0xFE, 0xFF, 0x00, 0xE0, 0x00, 0x00, 0x00, 0x00,  // item, length 0, before any element
    };
    StandardEncodingService service;
    ScriptedStream in(bytesOf(input));
    DataSet set;
    service.itemBytesLeft = 0;
    ASSERT_EQ(service.readImplicitLittle(&in.buffered(), &set), 1);
    ScriptedStream out;
    EXPECT_EQ(service.writeImplicitLittle(&set, &out), 0);
}

// Found by the codec fuzzer: a meta group with two Transfer Syntax UIDs
// names two encodings for what follows. A set hands out elements of one tag
// in no fixed order, so a written copy could come back read in the other
// encoding: both reading and writing refuse such a meta group.
TEST_F(StandardEncoding, RefusesAMetaGroupWithTwoTransferSyntaxes) {
    const uint8_t input[] = {
        0x02, 0x00, 0x10, 0x00, 'U', 'I', 0x14, 0x00,  // (0002,0010) UI length 20
        '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2', '.', '1', 0x00,
        0x02, 0x00, 0x10, 0x00, 'U', 'I', 0x12, 0x00,  // (0002,0010) UI length 18
        '1', '.', '2', '.', '8', '4', '0', '.', '1', '0', '0', '0', '8', '.', '1', '.', '2', 0x00,
        0x08, 0x00, 0x60, 0x00, 'C', 'S', 0x02, 0x00, 'C', 'T',  // (0008,0060) CS "CT"
    };
    StandardEncodingService service;
    {
        ScriptedStream in(bytesOf(input));
        DataSet set;
        service.itemBytesLeft = 0;
        EXPECT_EQ(service.readWithSyntax(&in.buffered(), &set, ExplicitLittleEndian), 0);
        EXPECT_STREQ(service.lastProblem.reason, "transfer syntax given twice");
    }
    DataSet set;
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.1"));
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2"));
    set.addElement(textElement(0x0008, 0x0060, "CT"));
    ScriptedStream out;
    EXPECT_EQ(service.writeWithSyntax(&set, &out, ExplicitLittleEndian), 0);
}

// Found by the codec fuzzer: a big-endian meta group whose Transfer Syntax
// UID names implicit VR little endian, followed by group 0200. Written in
// little endian, group 0200 reads as 0002 in the meta group's byte order,
// so a reader would take the data set for more of the meta group: the write
// must fail.
TEST_F(StandardEncoding, RefusesGroup0200RightAfterAMetaGroupThatSwitchesByteOrder) {
    const uint8_t input[] = {
        0x02, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00,  // big endian: (0200,1001) no VR, length 0
        0x00, 0x02, 0x15, 0x11, 0x00, 0x00, 0x00, 0x00,  // big endian: (0002,1511) no VR, length 0
        0x02, 0x00, 0x10, 0x00, 'U',  'I',  0x14, 0x00,  // VR letters: explicit little endian from here,
        '1',  '.',  '2',  '.',  '8',  '4',  '0',  '.',   //   (0002,0010) UI, length 20:
        '1',  '0',  '0',  '0',  '8',  '.',  '1',  '.',   //   "1.2.840.10008.1.2", a NUL,
        '2',  0x00, '2',  0x00,                          //   "2" and a NUL
    };
    StandardEncodingService service;
    ScriptedStream in(bytesOf(input));
    DataSet set;
    service.itemBytesLeft = 0;
    ASSERT_EQ(service.readWithSyntax(&in.buffered(), &set, ExplicitBigEndian), 1);
    ScriptedStream out;
    EXPECT_EQ(service.writeWithSyntax(&set, &out, ExplicitBigEndian), 0);
}
