#include <gtest/gtest.h>

#include <vector>

#include "../support/DataSetText.h"
#include "../support/ScriptedStream.h"
#include "network/AssociationService.h"
#include "../support/Damage.h"
#include "encoding/TransferSyntax.h"

using datasets::bytesElement;
using datasets::textElement;

namespace {

// An encoded data set with a sequence, to be damaged at random.
std::vector<uint8_t> encodedSample(int (AssociationService::*write)(DataSet*, ByteStream*)) {
    AssociationService service;
    DataSet set;
    set.addElement(textElement(0x0002, 0x0010, "1.2.840.10008.1.2.2", vrCode('U', 'I')));
    set.addElement(textElement(0x0010, 0x0010, "DOE^JOHN", vrCode('P', 'N')));
    set.addElement(bytesElement(0x0028, 0x0010, {0x00, 0x02}, vrCode('U', 'S')));
    set.addElement(bytesElement(0x0008, 0x1115, {}, vrCode('S', 'Q')));
    auto* item = new DataSet();
    item->addElement(textElement(0x0008, 0x1150, "1.2.3"));
    item->addElement(bytesElement(0x0008, 0x1140, {}));
    auto* inner = new DataSet();
    inner->addElement(textElement(0x0008, 0x1155, "4.5.6"));
    item->addItem(inner);
    set.addItem(item);
    set.addElement(bytesElement(0x7FE0, 0x0010, std::vector<uint8_t>(64, 0x11), vrCode('O', 'W')));
    ScriptedStream stream;
    (service.*write)(&set, &stream);
    stream.flush();
    return stream.output;
}

}  // namespace

// Every reader over thousands of damaged encodings: each read ends (with 1
// or 0) without reading, writing or allocating past what the input holds;
// the sanitizer build turns any such access into a failure.
TEST(HostileInput, DamagedEncodingsNeverBreakTheDecoders) {
    using Writer = int (AssociationService::*)(DataSet*, ByteStream*);
    using Reader = int (AssociationService::*)(ByteStream*, DataSet*);
    const std::pair<Writer, Reader> codecs[] = {
        {&AssociationService::writeImplicitLittle, &AssociationService::readImplicitLittle},
        {&AssociationService::writeExplicitLittle, &AssociationService::readExplicitLittle},
        {&AssociationService::writeExplicitBig, &AssociationService::readExplicitBig},
    };
    std::mt19937 random(20261210);
    AssociationService service;
    int decodedWhole = 0, refused = 0;
    for (const auto& [write, read] : codecs) {
        const std::vector<uint8_t> sample = encodedSample(write);
        for (int round = 0; round < 1500; ++round) {
            const std::vector<uint8_t> input = damaged(sample, random);
            for (int withSyntax = 0; withSyntax < 2; ++withSyntax) {
                ScriptedStream stream(input);
                DataSet target;
                service.itemBytesLeft = 0;
                const int result = withSyntax ? service.readWithSyntax(&stream.buffered(), &target, ExplicitLittleEndian)
                                              : (service.*read)(&stream.buffered(), &target);
                (result == 1 ? decodedWhole : refused) += 1;
                target.clear();
            }
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(decodedWhole, 0);
}
