#include "StorageSopClass.h"

namespace storage_uids {
const char* const crImage = "1.2.840.10008.5.1.4.1.1.1";
const char* const ctImage = "1.2.840.10008.5.1.4.1.1.2";
const char* const usMultiframeImage = "1.2.840.10008.5.1.4.1.1.3";
const char* const mrImage = "1.2.840.10008.5.1.4.1.1.4";
const char* const nmImage = "1.2.840.10008.5.1.4.1.1.5";
const char* const usImage = "1.2.840.10008.5.1.4.1.1.6";
const char* const scImage = "1.2.840.10008.5.1.4.1.1.7";
const char* const standaloneOverlay = "1.2.840.10008.5.1.4.1.1.8";
const char* const standaloneCurve = "1.2.840.10008.5.1.4.1.1.9";
const char* const standaloneModalityLut = "1.2.840.10008.5.1.4.1.1.10";
const char* const standaloneVoiLut = "1.2.840.10008.5.1.4.1.1.11";
const char* const privateA = "1.2.840.113619.4.2";
const char* const privateB = "1.2.840.113619.4.3";
}  // namespace storage_uids

int StorageSopClass::sopClassUid(UidValue& out) {
    out.clear();
    return 0;
}

uint16_t StorageSopClass::storeAnyDataSet(DataSet*) { return StatusSuccess; }

uint16_t StorageSopClass::storeDataSet(DataSet*) { return StatusSuccess; }

int StorageSopClass::store(AssociationService* association, DataSet* dataSet) {
    uint16_t status = 0;
    return store(association, dataSet, status);
}

int StorageSopClass::store(AssociationService* association, DataSet* dataSet, uint16_t& status) {
    return store(association, dataSet, status, nullptr, 0);
}

int StorageSopClass::store(AssociationService* association, DataSet* dataSet, uint16_t& status,
                           const char* moveOriginatorAeTitle, uint16_t moveOriginatorMessageId) {
    if (association == nullptr) return 0;
    if (!sendRequest(association, dataSet, moveOriginatorAeTitle, moveOriginatorMessageId)) return 0;
    return readCommandAnswer(association, sentMessageId, [this](DataSet* response) { return isResponse(response); },
                             status);
}

int StorageSopClass::handleCommand(AssociationService* association, DataSet* command, DataSet* dataSet) {
    UidValue own;
    sopClassUid(own);
    if (association == nullptr || command == nullptr || dataSet == nullptr) return 0;
    UidValue affected;
    if (!uidFromElement(affected, command->find(0x0000, AffectedSopClassUid)) || affected != own) return 0;
    if (!isRequest(command, association, dataSet)) return 0;
    return sendResponse(association, command, storeDataSet(dataSet));
}

int StorageSopClass::handleAnyCommand(AssociationService* association, DataSet* command, DataSet* dataSet) {
    if (association == nullptr || command == nullptr || dataSet == nullptr) return 0;
    if (!isRequest(command, association, dataSet)) return 0;
    return sendResponse(association, command, storeAnyDataSet(dataSet));
}
