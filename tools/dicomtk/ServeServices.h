#ifndef TOOLS_DICOMTK_SERVESERVICES_H
#define TOOLS_DICOMTK_SERVESERVICES_H

#include <string>

#include "Commands.h"
#include "dimse/ConfiguredAssociationService.h"

// What dicomtk serve accepts at negotiation.

// Whether a proposed transfer syntax is one the server reads and writes
// (counted without a trailing zero byte, which would match no codec).
bool readable(const TransferSyntaxItem& proposed);

// The services serve provides besides storage: Verification, and the
// Patient Root and Study Root FIND, MOVE and GET models.
bool servedService(const std::string& uid);

// The abstract syntaxes serve provides: those services and the storage SOP
// classes of the standard. Anything else (Modality Worklist, Storage
// Commitment, print) is refused at negotiation rather than aborted when
// used.
bool servedAbstractSyntax(const std::string& uid);

// The UID of a proposed abstract syntax, without the zero byte that pads
// an odd-length UID to even length (as some peers send it); "" for one
// with a zero byte elsewhere.
std::string proposedUid(const AbstractSyntaxItem& item);

// The service of one association: the served abstract syntaxes, and every
// transfer syntax the server can store, in the order the peer proposed them.
// The requester of a C-GET takes the SCP role for the storage SOP classes
// it wants to receive: granted for the ones this service stores (and so can
// send back), never for the query/retrieve and verification services.
class ServerService : public ToolService {
public:
    int acceptTransferSyntax(const TransferSyntaxItem& proposed) override;
    int acceptAbstractSyntax(const AbstractSyntaxItem& item) override;
    int acceptRequesterScpRole(const RoleSelectionItem& proposed) override;
};

// The service of one association under the policy of a configuration file,
// loaded once and only read, by every association at once. Its list of
// abstract syntaxes narrows the served ones, and may add SOP classes
// outside the standard's UID root (private storage SOP classes), which are
// then stored as any other; a standard service serve does not provide
// stays refused. The SCP role is granted as by ServerService.
class ConfiguredService : public ToolService {
public:
    explicit ConfiguredService(ConfiguredAssociationService& policy) : policy_(policy) {}
    int acceptTransferSyntax(const TransferSyntaxItem& proposed) override;
    int acceptCallingAeTitle(const char* title) override;
    int acceptCalledAeTitle(const char* title) override;
    int acceptApplicationContext(const ApplicationContextItem& item) override;
    int acceptAbstractSyntax(const AbstractSyntaxItem& item) override;
    int acceptRequesterScpRole(const RoleSelectionItem& proposed) override;

private:
    ConfiguredAssociationService& policy_;
};

#endif
