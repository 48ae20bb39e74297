#include "StorageUser.h"

#include <algorithm>

#include "encoding/TransferSyntax.h"

namespace {

const char* const implicitLittleUid = "1.2.840.10008.1.2";
const char* const explicitLittleUid = "1.2.840.10008.1.2.1";
const char* const explicitBigUid = "1.2.840.10008.1.2.2";

// The transfer syntaxes one context offers for files in transferSyntax.
std::vector<std::string> offerFor(const std::string& transferSyntax) {
    if (transferSyntax == explicitLittleUid) return {explicitLittleUid, implicitLittleUid};
    return {transferSyntax};
}

}  // namespace

void StoreSender::proposeFor(const std::string& sopClass, const std::string& transferSyntax) {
    const std::vector<std::string> offer = offerFor(transferSyntax);
    auto& offers = proposals_[sopClass];
    if (std::find(offers.begin(), offers.end(), offer) != offers.end()) return;
    offers.push_back(offer);
    if (offers.size() == 1) proposeAbstractSyntax(UidValue(sopClass.c_str()));
    else proposeAnotherContext(UidValue(sopClass.c_str()));
}

void StoreSender::proposeUncompressed(const std::string& sopClass) {
    for (const char* syntax : {explicitLittleUid, implicitLittleUid, explicitBigUid}) proposeFor(sopClass, syntax);
}

// Called once per registered context, in registration order, for every
// request: the contexts of one SOP class take its offers in turn.
int StoreSender::proposeTransferSyntaxes(PresentationContextItem& proposed) {
    const std::string sopClass = proposed.abstractSyntax.value.text();
    const auto found = proposals_.find(sopClass);
    if (found == proposals_.end() || found->second.empty()) return ToolService::proposeTransferSyntaxes(proposed);
    size_t& next = nextProposal_[sopClass];
    const std::vector<std::string>& offer = found->second[next % found->second.size()];
    next = (next + 1) % found->second.size();
    int added = 1;
    for (const std::string& syntax : offer) added = proposed.appendTransferSyntax(TransferSyntaxItem(syntax.c_str())) && added;
    return added;
}

int StoreSender::encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) {
    std::vector<std::string> usable = {currentSyntax};
    if (currentSyntax == explicitLittleUid) usable.push_back(implicitLittleUid);
    for (const std::string& syntax : usable) {
        const uint8_t id = contextForSyntaxes(abstractSyntax, UidValue(syntax.c_str()));
        if (id == 0) continue;
        if ((controlFlags & commandBit) != 0) return writeImplicitLittle(&set, &buffer) ? id : 0;
        switch (findTransferSyntax(syntax.c_str())) {
            case ImplicitLittleEndian:
                return writeImplicitLittle(&set, &buffer) ? id : 0;
            case ExplicitLittleEndian:
                return writeExplicitLittle(&set, &buffer) ? id : 0;
            case ExplicitBigEndian:
                return writeExplicitBig(&set, &buffer) ? id : 0;
            default:
                return 0;
        }
    }
    return 0;
}

bool StoreSender::canSend(const std::string& sopClass, const std::string& transferSyntax) {
    const UidValue abstractSyntax(sopClass.c_str());
    if (contextForSyntaxes(abstractSyntax, UidValue(transferSyntax.c_str())) != 0) return true;
    return transferSyntax == explicitLittleUid && contextForSyntaxes(abstractSyntax, UidValue(implicitLittleUid)) != 0;
}

ObjectDataSet* withoutMetaGroup(ObjectDataSet* file) {
    auto* set = new ObjectDataSet;
    while (DataElement* element = file->nextElement()) {
        if (element->group == 0x0002 || set->addElement(element) == 0) delete element;
    }
    return set;
}

std::string elementText(DataSet* set, uint16_t group, uint16_t element) {
    const DataElement* found = set->find(group, element);
    if (found == nullptr || found->value == nullptr) return "";
    std::string text(reinterpret_cast<const char*>(found->value), found->length);
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}
