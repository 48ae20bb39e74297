#include "ServeLog.h"

#include <system_error>

std::string AssociationLog::prefix() const {
    return "association from " + peer + (calling.empty() && called.empty() ? "" : " (" + calling + " -> " + called + ")");
}

logging::Event AssociationLog::event(logging::Level level, const std::string& name, const std::string& text) const {
    logging::Event line;
    line.level = level;
    line.event = name;
    line.peer = peer;
    line.calling = calling;
    line.called = called;
    line.message = prefix() + text;
    return line;
}

void AssociationLog::write(logging::Level level, const std::string& name, const std::string& text) const {
    logging::write(event(level, name, text));
}

std::string trimmedTitle(const char* title) {
    std::string text(title);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string refusalText(const AssociationService& service, int32_t requestTimeout) {
    using Refusal = AssociationService::Refusal;
    switch (service.refusal) {
        case Refusal::silent:
            return "no association request within the request time-out (" + std::to_string(requestTimeout) + " s)";
        case Refusal::closed:
            return "the connection closed before an association was established";
        case Refusal::malformed:
            return "the first PDU is not a readable A-ASSOCIATE-RQ (malformed); aborted";
        case Refusal::callingAeTitle:
            return "rejected: calling AE title not recognised";
        case Refusal::calledAeTitle:
            return "rejected: called AE title not recognised";
        case Refusal::applicationContext:
            return "rejected: application context not supported";
        case Refusal::noContext:
            return "no acceptable presentation context (0 of " +
                   std::to_string(service.AssociateRequestPdu::presentationContexts.count()) + " proposed accepted)";
        case Refusal::none:
            break;
    }
    return "not established";
}

const char* refusalEvent(AssociationService::Refusal refusal) {
    using Refusal = AssociationService::Refusal;
    switch (refusal) {
        case Refusal::silent:
            return "request-timeout";
        case Refusal::closed:
            return "connection-closed";
        case Refusal::malformed:
            return "malformed-request";
        case Refusal::callingAeTitle:
        case Refusal::calledAeTitle:
        case Refusal::applicationContext:
            return "association-rejected";
        case Refusal::noContext:
            return "no-acceptable-context";
        case Refusal::none:
            break;
    }
    return "association-refused";
}

const char* commandName(uint16_t field) {
    switch (field) {
        case 0x0001: return "C-STORE-RQ";
        case 0x0020: return "C-FIND-RQ";
        case 0x0021: return "C-MOVE-RQ";
        case 0x0010: return "C-GET-RQ";
        case 0x0030: return "C-ECHO-RQ";
        case 0x0FFF: return "C-CANCEL-RQ";
        default: return "command";
    }
}

// Why listening failed, in the system's words.
std::string socketErrorText(SocketStream& listener) {
    const int error = listener.lastError > 0 ? listener.lastError : listener.lastSocketError();
    if (error <= 0) return "the system refused";
    return std::error_code(error, std::system_category()).message();
}

namespace {

// One list of the policy: "any" while empty, else its values.
std::string listSummary(const ConfiguredAssociationService::ConfigurationList& list) {
    if (list.count == 0) return "any";
    std::string text;
    for (uint32_t index = 0; index < list.count; ++index) text += (index ? " " : "") + std::string(list.values[index]);
    return text;
}

}  // namespace

std::string policySummary(const ConfiguredAssociationService& policy) {
    return "calling AE titles " + listSummary(policy.remoteAeTitles) + "; called AE titles " +
           listSummary(policy.localAeTitles) + "; application contexts " + listSummary(policy.applicationContexts) +
           "; abstract syntaxes " + listSummary(policy.abstractSyntaxes) + "; transfer syntaxes " +
           listSummary(policy.transferSyntaxes);
}
