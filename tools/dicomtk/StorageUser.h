#ifndef TOOLS_DICOMTK_STORAGEUSER_H
#define TOOLS_DICOMTK_STORAGEUSER_H

#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "dimse/StorageSopClass.h"

// The requester that sends stored objects: dicomtk store, and the
// sub-association of a C-MOVE in dicomtk serve. Values travel exactly as
// the file holds them, so each object goes on a context whose transfer
// syntax carries its values unchanged: the file's own syntax, or for
// explicit VR little endian also implicit VR little endian (same value
// bytes, VRs left out). It proposes one context per SOP class and kind of
// file, since an acceptor picks one transfer syntax per context.
class StoreSender : public ToolService {
public:
    // Registers what files of sopClass in transferSyntax need (once per pair).
    void proposeFor(const std::string& sopClass, const std::string& transferSyntax);
    // Registers the three uncompressed encodings for sopClass.
    void proposeUncompressed(const std::string& sopClass);

    int proposeTransferSyntaxes(PresentationContextItem& proposed) override;
    // The context for the file being sent (currentSyntax), and its codec.
    int encodeForAbstractSyntax(DataSet& set, PdvBuffer& buffer, const UidValue& abstractSyntax) override;
    // Whether some accepted context can carry a file of this class and syntax.
    bool canSend(const std::string& sopClass, const std::string& transferSyntax);

    // The transfer syntax of the file being sent.
    std::string currentSyntax;

private:
    std::map<std::string, std::vector<std::vector<std::string>>> proposals_;
    std::map<std::string, size_t> nextProposal_;
};

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
