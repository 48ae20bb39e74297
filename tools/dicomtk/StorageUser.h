#ifndef TOOLS_DICOMTK_STORAGEUSER_H
#define TOOLS_DICOMTK_STORAGEUSER_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "dimse/StorageSopClass.h"
#include "encoding/DataDictionary.h"

// The requester that sends stored objects: dicomtk store, and the
// sub-association of a C-MOVE in dicomtk serve. Each object goes out in the
// transfer syntax it is kept in when the peer accepted that; an object in
// an uncompressed syntax otherwise goes out converted into another
// uncompressed syntax the peer accepted (explicit VR little endian first,
// then implicit VR little endian, then explicit VR big endian), with its
// values unchanged. So each SOP class is proposed in the stored syntax of
// its objects and, for an uncompressed one, also in the other two: one
// context per SOP class and kind of object, the stored syntax first, since
// an acceptor picks one transfer syntax per context. A compressed object
// whose syntax was refused is not sent (it is not decoded).
class StoreSender : public ToolService {
public:
    // Calls whenDone, while what was negotiated can still be asked.
    ~StoreSender() override;

    // Registers what objects of sopClass in transferSyntax need (once per pair).
    void proposeFor(const std::string& sopClass, const std::string& transferSyntax);

    int proposeTransferSyntaxes(PresentationContextItem& proposed) override;
    // The context for the object being sent: one of currentSyntax.
    int encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) override;
    // The transfer syntax an object of this class kept in storedSyntax goes
    // out in: storedSyntax, another uncompressed one, or "" when the peer
    // accepted no context that can carry it.
    std::string sendingSyntax(const std::string& sopClass, const std::string& storedSyntax);
    // Makes set (read in storedSyntax, without its meta group) ready to go
    // out in the syntax sendingSyntax chose, and makes that the current
    // syntax. 1, or 0 with problem set: no accepted context, or values that
    // cannot change their encoding safely (see SyntaxConversion.h).
    int prepareToSend(const std::string& sopClass, const std::string& storedSyntax, DataSet* set,
                      std::string& problem);

    // The transfer syntax of the object being sent.
    std::string currentSyntax;
    // The VRs of elements read in implicit VR, for a conversion into
    // explicit VR (null: they go out as UN, and cannot change byte order).
    const DataDictionary* dictionary = nullptr;
    // Called once as the sender is deleted (the owner of a C-MOVE's
    // sub-association learns there what was never offered to it).
    std::function<void()> whenDone;

private:
    std::map<std::string, std::vector<std::vector<std::string>>> proposals_;
    std::map<std::string, size_t> nextProposal_;
};

// The transfer syntax an object of sopClass kept in storedSyntax goes out
// in over association: storedSyntax when a context accepted it, otherwise
// another uncompressed syntax a context accepted (explicit VR little endian
// first, then implicit VR little endian, then explicit VR big endian) for an
// uncompressed object, or "" when none can carry it. Works for either side
// of the association (a C-GET provider sends on the requester's own).
std::string sendingSyntaxOn(AssociationService& association, const std::string& sopClass,
                            const std::string& storedSyntax);

// Makes set (read in storedSyntax, without its meta group) ready to go out
// over association in the syntax sendingSyntaxOn chose, which goes to
// chosen. 1, or 0 with problem set: no accepted context, or values that
// cannot change their encoding safely (see SyntaxConversion.h). dictionary
// gives the VRs of elements read in implicit VR (null: they go out as UN,
// and cannot change byte order).
int prepareToSendOn(AssociationService& association, const std::string& sopClass, const std::string& storedSyntax,
                    DataSet* set, const DataDictionary* dictionary, std::string& chosen, std::string& problem);

// The storage user role for whatever SOP class the object at hand has.
class AnyStorage : public StorageSopClass {
public:
    int sopClassUid(UidValue& out) override { return out.assign(sopClass.c_str()); }
    std::string sopClass;
};

// The data set of a file without its file meta information, which never
// travels; the file's set is drained. The caller deletes the result.
ObjectDataSet* withoutMetaGroup(ObjectDataSet* file);

// The text of an element without its padding ("" when absent).
std::string elementText(DataSet* set, uint16_t group, uint16_t element);

#endif
