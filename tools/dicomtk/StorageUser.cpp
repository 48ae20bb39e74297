#include "StorageUser.h"

#include <algorithm>
#include <cstdio>

#include "encoding/SyntaxConversion.h"
#include "encoding/StandardTransferSyntaxes.h"


namespace {

const char* const implicitLittleUid = "1.2.840.10008.1.2";
const char* const explicitLittleUid = "1.2.840.10008.1.2.1";
const char* const explicitBigUid = "1.2.840.10008.1.2.2";

// The uncompressed syntaxes in the order a converted object prefers them:
// little endian keeps the value bytes of most objects as they are.
const char* const uncompressedUids[] = {explicitLittleUid, implicitLittleUid, explicitBigUid};

// The uncompressed syntax whose values an object kept in uid has: its own,
// explicit VR little endian for a deflated one (inflated when read), or 0
// for compressed pixel data.
int32_t uncompressedCode(const std::string& uid) {
    const int32_t code = findStandardTransferSyntax(uid.c_str());
    if (code == DeflatedLittleEndian) return ExplicitLittleEndian;
    return isUncompressedCode(code) ? code : 0;
}

// The transfer syntaxes one context offers for objects in transferSyntax.
std::vector<std::string> offerFor(const std::string& transferSyntax) {
    if (uncompressedCode(transferSyntax) == 0) return {transferSyntax};
    std::vector<std::string> offer{transferSyntax};
    for (const char* other : uncompressedUids) {
        if (transferSyntax != other) offer.push_back(other);
    }
    return offer;
}

std::string conversionText(const ConversionProblem& problem) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "(%04X,%04X)", problem.group, problem.element);
    return std::string(problem.reason != nullptr ? problem.reason : "cannot be converted") +
           (problem.group != 0 || problem.element != 0 ? std::string(" at ") + tag : std::string());
}

}  // namespace

StoreSender::~StoreSender() {
    if (whenDone) whenDone();
}

void StoreSender::proposeFor(const std::string& sopClass, const std::string& transferSyntax) {
    const std::vector<std::string> offer = offerFor(transferSyntax);
    auto& offers = proposals_[sopClass];
    if (std::find(offers.begin(), offers.end(), offer) != offers.end()) return;
    offers.push_back(offer);
    if (offers.size() == 1) proposeAbstractSyntax(UidValue(sopClass.c_str()));
    else proposeAnotherContext(UidValue(sopClass.c_str()));
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
    // sendingSyntax made sure that a context carries currentSyntax.
    preferredTransferSyntax.assign(currentSyntax.c_str());
    return ToolService::encodeForAbstractSyntax(set, buffer, abstractSyntax);
}

std::string StoreSender::sendingSyntax(const std::string& sopClass, const std::string& storedSyntax) {
    return sendingSyntaxOn(*this, sopClass, storedSyntax);
}

int StoreSender::prepareToSend(const std::string& sopClass, const std::string& storedSyntax, DataSet* set,
                               std::string& problem) {
    return prepareToSendOn(*this, sopClass, storedSyntax, set, dictionary, currentSyntax, problem);
}

std::string sendingSyntaxOn(AssociationService& association, const std::string& sopClass,
                            const std::string& storedSyntax) {
    const UidValue abstractSyntax(sopClass.c_str());
    if (association.contextForSyntaxes(abstractSyntax, UidValue(storedSyntax.c_str())) != 0) return storedSyntax;
    if (uncompressedCode(storedSyntax) == 0) return "";
    for (const char* other : uncompressedUids) {
        if (association.contextForSyntaxes(abstractSyntax, UidValue(other)) != 0) return other;
    }
    return "";
}

int prepareToSendOn(AssociationService& association, const std::string& sopClass, const std::string& storedSyntax,
                    DataSet* set, const DataDictionary* dictionary, std::string& chosen, std::string& problem) {
    const std::string syntax = sendingSyntaxOn(association, sopClass, storedSyntax);
    if (syntax.empty()) {
        problem = "the peer accepted no context for SOP class " + sopClass + " in transfer syntax " + storedSyntax +
                  (uncompressedCode(storedSyntax) != 0 ? " or another uncompressed one" : "");
        return 0;
    }
    if (syntax != storedSyntax) {
        ConversionProblem why;
        if (!convertUncompressedValues(set, uncompressedCode(storedSyntax), uncompressedCode(syntax), dictionary, why)) {
            problem = "cannot be converted from " + storedSyntax + " to " + syntax + ": " + conversionText(why);
            return 0;
        }
    }
    chosen = syntax;
    return 1;
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
