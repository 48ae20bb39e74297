#include <gtest/gtest.h>

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

// A data set with text, numbers, OB and OW values, a value longer than a
// 16-bit length, an odd length, and sequences nested three items deep, with
// elements after each sequence at every level. asDecoded gives the set as a
// decoder returns it: the odd length comes back even, with its pad byte.
DataSet* sampleSet(bool asDecoded) {
    auto* set = new DataSet();
    set->addElement(textElement(0x0008, 0x0060, "MR", vrCode('C', 'S')));
    set->addElement(textElement(0x0010, 0x0010, "DOE^JOHN", vrCode('P', 'N')));
    set->addElement(bytesElement(0x0028, 0x0010, {0x00, 0x02}, vrCode('U', 'S')));
    set->addElement(bytesElement(0x0028, 0x0100, {0x10, 0x00}));
    set->addElement(bytesElement(0x0018, 0x9999, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, vrCode('U', 'L')));
    set->addElement(bytesElement(0x0009, 0x1001, {0xDE, 0xAD, 0xBE, 0xEF}, vrCode('O', 'B')));
    std::vector<uint8_t> pixels(70000);
    for (size_t index = 0; index < pixels.size(); ++index) pixels[index] = static_cast<uint8_t>(index * 31 + 7);
    set->addElement(bytesElement(0x7FE0, 0x0010, pixels, vrCode('O', 'W')));
    set->addElement(bytesElement(0x0011, 0x0010, std::vector<uint8_t>(66000, 0x41)));  // no VR, too long for 16 bits
    DataElement* odd = textElement(0x0020, 0x4000, "ODD");
    if (!asDecoded) odd->length = 3;
    set->addElement(odd);
    set->addElement(bytesElement(0xFFFC, 0xFFFC, {}, 0));

    set->addElement(bytesElement(0x0008, 0x1115, {}, vrCode('S', 'Q')));
    auto* item = new DataSet();
    item->addElement(textElement(0x0008, 0x1150, "1.2.840.10008.5.1.4.1.1.4"));
    item->addElement(bytesElement(0x0008, 0x1140, {}));
    auto* inner = new DataSet();
    inner->addElement(textElement(0x0008, 0x1155, "1.2.3.4.5.6"));
    inner->addElement(bytesElement(0x0040, 0xA730, {}, vrCode('S', 'Q')));
    auto* innermost = new DataSet();
    innermost->addElement(textElement(0x0040, 0xA160, "THIRD LEVEL"));
    inner->addItem(innermost);
    inner->addElement(textElement(0x0040, 0xA744, "TEXT"));  // after the nested sequence
    item->addItem(inner);
    set->addItem(item);
    auto* second = new DataSet();
    second->addElement(bytesElement(0x0028, 0x0011, {0x00, 0x01}));
    set->addItem(second);
    return set;
}

struct Syntax {
    const char* name;
    int (AssociationService::*write)(DataSet*, ByteStream*);
    int (AssociationService::*read)(ByteStream*, DataSet*);
    int32_t code;
};

const Syntax syntaxes[] = {
    {"ImplicitLittleEndian", &AssociationService::writeImplicitLittle, &AssociationService::readImplicitLittle,
     ImplicitLittleEndian},
    {"ExplicitLittleEndian", &AssociationService::writeExplicitLittle, &AssociationService::readExplicitLittle,
     ExplicitLittleEndian},
    {"ExplicitBigEndian", &AssociationService::writeExplicitBig, &AssociationService::readExplicitBig,
     ExplicitBigEndian},
};

class RoundTrip : public ::testing::TestWithParam<Syntax> {
protected:
    AssociationService service;
};

std::string syntaxName(const ::testing::TestParamInfo<Syntax>& info) { return info.param.name; }

void PrintTo(const Syntax& syntax, std::ostream* out) { *out << syntax.name; }

}  // namespace

TEST_P(RoundTrip, KeepsTagsLengthsValuesAndItems) {
    DataSet* source = sampleSet(false);
    ScriptedStream stream;
    ASSERT_EQ((service.*GetParam().write)(source, &stream), 1);
    EXPECT_EQ(source->nextElement(), nullptr);  // the writer drained it
    delete source;
    stream.flush();

    ScriptedStream input(stream.output);
    DataSet decoded;
    ASSERT_EQ((service.*GetParam().read)(&input.buffered(), &decoded), 1);
    EXPECT_EQ(service.itemBytesLeft, 0);
    DataSet* expected = sampleSet(true);
    EXPECT_EQ(describe(&decoded), describe(expected));
    delete expected;
}

TEST_P(RoundTrip, FollowsTheMetaGroupsTransferSyntax) {
    DataSet* source = sampleSet(false);
    std::string uid;
    for (const TransferSyntaxRow* row = transferSyntaxTable; row->uid != nullptr; ++row) {
        if (row->code == GetParam().code) {
            uid = row->uid;
            break;
        }
    }
    source->addElement(textElement(0x0002, 0x0010, uid, vrCode('U', 'I')));
    source->addElement(textElement(0x0002, 0x0002, "1.2.840.10008.5.1.4.1.1.4", vrCode('U', 'I')));
    ScriptedStream stream;
    ASSERT_EQ(service.writeWithSyntax(source, &stream, ExplicitLittleEndian), 1);
    delete source;
    stream.flush();

    ScriptedStream input(stream.output);
    DataSet decoded;
    ASSERT_EQ(service.readWithSyntax(&input.buffered(), &decoded, ExplicitLittleEndian), 1);
    DataSet* expected = sampleSet(true);
    expected->addElement(textElement(0x0002, 0x0010, uid, vrCode('U', 'I')));
    expected->addElement(textElement(0x0002, 0x0002, "1.2.840.10008.5.1.4.1.1.4", vrCode('U', 'I')));
    EXPECT_EQ(describe(&decoded), describe(expected));
    delete expected;
}

INSTANTIATE_TEST_SUITE_P(Syntaxes, RoundTrip, ::testing::ValuesIn(syntaxes), syntaxName);
