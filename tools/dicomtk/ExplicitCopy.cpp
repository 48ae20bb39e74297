// dicomtk copy --explicit: a data set read in implicit VR gets its VRs from
// the data dictionary and is labelled explicit VR little endian, so that
// saving it in mode 3 writes every element with its VR letters.

#include <cstring>
#include <new>

#include "Commands.h"
#include "encoding/TransferSyntax.h"

namespace {

const char explicitLittleUid[] = "1.2.840.10008.1.2.1";  // 19 characters and a NUL pad

// Calls visit on every element of a filling set.
template <typename Visit>
void forEachElement(DataSet* set, Visit visit) {
    for (uint32_t groupIndex = 0; groupIndex < set->fillList.count(); ++groupIndex) {
        ElementGroup* group = set->fillList.at(groupIndex)->element;
        for (uint32_t index = 0; index < group->count(); ++index) visit(group->at(index)->element);
    }
}

bool carriesVrs(DataSet* set) {
    bool carries = false;
    forEachElement(set, [&carries](DataElement* element) {
        if (element->group != 0x0002 && element->vr != 0) carries = true;
    });
    return carries;
}

int labelExplicitLittleEndian(DataSet* set) {
    DataElement* syntax = set->find(0x0002, 0x0010);
    if (syntax == nullptr) return 0;
    auto* value = new (std::nothrow) uint8_t[sizeof explicitLittleUid];
    if (value == nullptr) return 0;
    std::memcpy(value, explicitLittleUid, sizeof explicitLittleUid);
    if (syntax->ownsValue != 0) delete[] syntax->value;
    syntax->value = value;
    syntax->length = sizeof explicitLittleUid;
    syntax->ownsValue = 1;
    syntax->vr = vrCode('U', 'I');
    return 1;
}

}  // namespace

int prepareExplicitLittleEndian(AssociationService& service, ObjectDataSet* set, const DataDictionary& dictionary,
                                const std::string& path) {
    const std::string syntax = transferSyntaxOf(set);
    const bool implicitFile =
        syntax.empty() ? !carriesVrs(set) : findTransferSyntax(syntax.c_str()) == ImplicitLittleEndian;
    if (!implicitFile && syntax != explicitLittleUid) {
        // Big-endian values would need swapping and compressed pixel data
        // cannot be relabelled; a bare explicit VR data set does not say
        // which byte order it had. Such files are left to --mode.
        fail(path, "transfer syntax " + (syntax.empty() ? std::string("of a bare explicit VR data set") : syntax) +
                       " cannot be rewritten as explicit VR little endian");
        return 0;
    }
    if (implicitFile) {
        dictionary.assignVrs(set);
        forEachElement(set, [](DataElement* element) {
            // What the dictionary does not know (private elements) is UN. So
            // is a sequence read from implicit VR, whose items are still the
            // implicit VR bytes they were read as: that is what UN holds.
            const bool rawSequence = element->vr == vrCode('S', 'Q') && element->items == nullptr && element->length != 0;
            if (element->vr == 0 || rawSequence) element->vr = vrCode('U', 'N');
        });
    }
    service.addMetaHeader(set);
    if (labelExplicitLittleEndian(set) == 0) {
        fail(path, "out of memory");
        return 0;
    }
    return 1;
}
