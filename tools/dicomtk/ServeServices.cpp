#include "ServeServices.h"

#include <cstring>

#include "StorageClasses.h"

bool readable(const TransferSyntaxItem& proposed) {
    return proposed.value.size() == std::strlen(proposed.value.text()) &&
           StandardEncodingService::handlesTransferSyntax(proposed.value.text());
}

bool servedService(const std::string& uid) {
    static const char* const services[] = {
        "1.2.840.10008.1.1",            // Verification
        "1.2.840.10008.5.1.4.1.2.1.1",  // Patient Root FIND
        "1.2.840.10008.5.1.4.1.2.1.2",  // Patient Root MOVE
        "1.2.840.10008.5.1.4.1.2.1.3",  // Patient Root GET
        "1.2.840.10008.5.1.4.1.2.2.1",  // Study Root FIND
        "1.2.840.10008.5.1.4.1.2.2.2",  // Study Root MOVE
        "1.2.840.10008.5.1.4.1.2.2.3",  // Study Root GET
    };
    for (const char* service : services) {
        if (uid == service) return true;
    }
    return false;
}

bool servedAbstractSyntax(const std::string& uid) { return servedService(uid) || isStandardStorageClass(uid.c_str()); }

std::string proposedUid(const AbstractSyntaxItem& item) {
    const std::string text(item.value.text(), std::strlen(item.value.text()));
    const size_t size = item.value.size();
    return text.size() == size || (text.size() + 1 == size && size % 2 == 0) ? text : std::string();
}

namespace {

// The SCP role for a storage SOP class the service accepts.
int grantsScpRole(AssociationService& service, const RoleSelectionItem& proposed) {
    const AbstractSyntaxItem item(proposed.sopClassUid);
    return service.acceptAbstractSyntax(item) && !servedService(proposedUid(item));
}

}  // namespace

int ServerService::acceptTransferSyntax(const TransferSyntaxItem& proposed) { return readable(proposed); }

int ServerService::acceptAbstractSyntax(const AbstractSyntaxItem& item) {
    return servedAbstractSyntax(proposedUid(item));
}

int ServerService::acceptRequesterScpRole(const RoleSelectionItem& proposed) { return grantsScpRole(*this, proposed); }

int ConfiguredService::acceptTransferSyntax(const TransferSyntaxItem& proposed) {
    return policy_.acceptTransferSyntax(proposed) && readable(proposed);
}

int ConfiguredService::acceptCallingAeTitle(const char* title) { return policy_.acceptCallingAeTitle(title); }

int ConfiguredService::acceptCalledAeTitle(const char* title) { return policy_.acceptCalledAeTitle(title); }

int ConfiguredService::acceptApplicationContext(const ApplicationContextItem& item) {
    return policy_.acceptApplicationContext(item);
}

int ConfiguredService::acceptAbstractSyntax(const AbstractSyntaxItem& item) {
    if (!policy_.acceptAbstractSyntax(item)) return 0;
    const std::string uid = proposedUid(item);
    if (servedAbstractSyntax(uid)) return 1;
    const bool listed = policy_.abstractSyntaxes.count != 0;
    return listed && !uid.empty() && uid.compare(0, 14, "1.2.840.10008.") != 0;
}

int ConfiguredService::acceptRequesterScpRole(const RoleSelectionItem& proposed) {
    return grantsScpRole(*this, proposed);
}
