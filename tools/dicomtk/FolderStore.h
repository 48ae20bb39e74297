#ifndef TOOLS_DICOMTK_FOLDERSTORE_H
#define TOOLS_DICOMTK_FOLDERSTORE_H

#include <cstdint>
#include <string>

#include "StoreIndex.h"
#include "dimse/StorageSopClass.h"

// The storage provider of dicomtk serve: every object received with C-STORE
// becomes the DICOM file FOLDER/<SOP Instance UID>.dcm, with meta
// information and the data set in the transfer syntax it arrived in, so that
// its elements keep exactly the values received. The meta information names
// the sender: Source Application Entity Title is the calling AE title of the
// association the object came in.
//
// Success is answered only once the file is complete, on disk (unless
// syncing is turned off) and renamed into place from a temporary name in the
// same folder; a second object with the same UID replaces the first in one
// step. A failure leaves no file behind. The file name is the UID only when
// that is a well-formed UID (digits in dot-separated components, at most 64
// characters), so a name from the wire never leaves the folder.
class FolderStore : public StorageSopClass {
public:
    // Statuses answered besides Success.
    static constexpr uint16_t outOfResources = 0xA700;
    static constexpr uint16_t dataSetDoesNotMatch = 0xA900;
    static constexpr uint16_t cannotUnderstand = 0xC000;

    // index, when given, learns of every object stored: its entry is there
    // for anyone who asks the index once Success has been decided, and is
    // written while Success goes out.
    explicit FolderStore(std::string folder, bool sync = true, StoreIndex* index = nullptr);
    ~FolderStore() override;
    FolderStore(const FolderStore&) = delete;
    FolderStore& operator=(const FolderStore&) = delete;

    // Answers one C-STORE request of any SOP class; 1 when the response went
    // out. lastStatus and lastProblem tell what was answered and why.
    int handleStore(AssociationService* association, DataSet* command);

    uint16_t storeAnyDataSet(DataSet* dataSet) override;

    // A UID that can be a file name: 1 to 64 characters, digits in
    // components separated by single dots.
    static bool isSafeUid(const std::string& uid);

    uint16_t lastStatus = 0;
    std::string lastProblem;
    std::string lastUid;
    // Set when the last object stored replaced one kept under the same SOP
    // Instance UID: what a log says about it (both transfer syntaxes).
    std::string replaced;

private:
    std::string folder_;
    bool sync_;
    StoreIndex* index_;
    // Settles the index entry of the last object stored, if any; a failure
    // goes into lastProblem.
    void settleIndexEntry();

    AssociationService* association_ = nullptr;
    std::string expectedUid_;
    uint64_t indexTicket_ = 0;
};

#endif
