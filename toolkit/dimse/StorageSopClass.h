#ifndef DICOMTOOLKIT_DIMSE_STORAGESOPCLASS_H
#define DICOMTOOLKIT_DIMSE_STORAGESOPCLASS_H

#include <cstdint>

#include "CommandMessages.h"

// The storage SOP classes, which move one composite object per C-STORE. As
// user, store sends a data set and waits for the response; as provider,
// handleCommand (for its own SOP class) or handleAnyCommand (for any) reads
// the data set that follows a C-STORE request, hands it to the store
// operation and answers with the status that operation returns. A plain
// StorageSopClass has no SOP class of its own; the concrete classes below
// each name theirs.
class StorageSopClass : public StoreRequest, public StoreResponse {
public:
    int sopClassUid(UidValue& out) override;
    // The application's decision on a received data set (owned by the
    // caller of the handler): the status to answer. The defaults answer
    // Success without keeping anything.
    virtual uint16_t storeAnyDataSet(DataSet* dataSet);
    virtual uint16_t storeDataSet(DataSet* dataSet);

    // 1 when the request and data set were sent and a C-STORE response to
    // it came back, whatever its status; a response naming another Message
    // ID aborts the association.
    int store(AssociationService* association, DataSet* dataSet);
    // store, with the status of the response in status.
    int store(AssociationService* association, DataSet* dataSet, uint16_t& status);
    // The sub-operation of a C-MOVE: the request carries the Move Originator
    // AE title and Message ID (see StoreRequest::sendRequest).
    int store(AssociationService* association, DataSet* dataSet, uint16_t& status, const char* moveOriginatorAeTitle,
              uint16_t moveOriginatorMessageId);
    // The result of sending the response, or 0 when the command is not a
    // C-STORE request of this SOP class or its data set cannot be read.
    int handleCommand(AssociationService* association, DataSet* command, DataSet* dataSet);
    // The same for a C-STORE request of any SOP class.
    int handleAnyCommand(AssociationService* association, DataSet* command, DataSet* dataSet);
};

// A storage SOP class of a fixed UID.
template <const char* const* Uid>
class NamedStorage : public StorageSopClass {
public:
    int sopClassUid(UidValue& out) override { return out.assign(*Uid); }
};

namespace storage_uids {
extern const char* const crImage;
extern const char* const ctImage;
extern const char* const usMultiframeImage;
extern const char* const mrImage;
extern const char* const nmImage;
extern const char* const usImage;
extern const char* const scImage;
extern const char* const standaloneOverlay;
extern const char* const standaloneCurve;
extern const char* const standaloneModalityLut;
extern const char* const standaloneVoiLut;
extern const char* const privateA;
extern const char* const privateB;
}  // namespace storage_uids

class CrImageStorage : public NamedStorage<&storage_uids::crImage> {};                          // Computed Radiography
class CtImageStorage : public NamedStorage<&storage_uids::ctImage> {};                          // CT
class UsMultiframeImageStorage : public NamedStorage<&storage_uids::usMultiframeImage> {};      // Ultrasound Multi-frame
class MrImageStorage : public NamedStorage<&storage_uids::mrImage> {};                          // MR
class NmImageStorage : public NamedStorage<&storage_uids::nmImage> {};                          // Nuclear Medicine
class UsImageStorage : public NamedStorage<&storage_uids::usImage> {};                          // Ultrasound
class ScImageStorage : public NamedStorage<&storage_uids::scImage> {};                          // Secondary Capture
class StandaloneOverlayStorage : public NamedStorage<&storage_uids::standaloneOverlay> {};
class StandaloneCurveStorage : public NamedStorage<&storage_uids::standaloneCurve> {};
class StandaloneModalityLutStorage : public NamedStorage<&storage_uids::standaloneModalityLut> {};
class StandaloneVoiLutStorage : public NamedStorage<&storage_uids::standaloneVoiLut> {};
class PrivateStorageA : public NamedStorage<&storage_uids::privateA> {};
class PrivateStorageB : public NamedStorage<&storage_uids::privateB> {};

#endif
