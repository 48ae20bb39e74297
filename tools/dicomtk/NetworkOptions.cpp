#include "NetworkOptions.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <system_error>

std::string parsePeerOptions(const std::vector<std::string>& arguments, const std::vector<std::string>& valued,
                             const std::vector<std::string>& flags, PeerOptions& peer,
                             std::vector<std::string>& values, std::vector<bool>& flagged) {
    values.assign(valued.size(), "");
    flagged.assign(flags.size(), false);
    std::vector<std::string> positional;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        auto valueOf = [&](std::string& into) {
            if (index + 1 >= arguments.size()) return false;
            into = arguments[++index];
            return true;
        };
        if (argument == "-aet" || argument == "--aet") {
            if (!valueOf(peer.callingAeTitle)) return "missing value after " + argument;
            if (!isValidAeTitle(peer.callingAeTitle)) return "calling AE title '" + peer.callingAeTitle + "' is not valid";
            continue;
        }
        if (argument == "-aec" || argument == "--aec") {
            if (!valueOf(peer.calledAeTitle)) return "missing value after " + argument;
            if (!isValidAeTitle(peer.calledAeTitle)) return "called AE title '" + peer.calledAeTitle + "' is not valid";
            continue;
        }
        if (argument == "--request-timeout") {
            std::string seconds;
            if (!valueOf(seconds)) return "missing value after " + argument;
            char* end = nullptr;
            const long parsed = std::strtol(seconds.c_str(), &end, 10);
            if (end == seconds.c_str() || *end != '\0' || parsed < 1 || parsed > 3600) {
                return "--request-timeout needs seconds from 1 to 3600";
            }
            peer.requestTimeoutSeconds = static_cast<int>(parsed);
            continue;
        }
        bool known = false;
        for (size_t option = 0; option < valued.size() && !known; ++option) {
            if (argument == valued[option]) {
                if (!valueOf(values[option])) return "missing value after " + argument;
                known = true;
            }
        }
        for (size_t option = 0; option < flags.size() && !known; ++option) {
            if (argument == flags[option]) {
                flagged[option] = true;
                known = true;
            }
        }
        if (known) continue;
        if (argument.size() > 1 && argument[0] == '-') return "unknown option " + argument;
        positional.push_back(argument);
    }
    if (positional.size() < 2) return "HOST and PORT are needed";
    peer.host = positional[0];
    peer.port = positional[1];
    peer.rest.assign(positional.begin() + 2, positional.end());
    return "";
}

bool printedHelp(const std::vector<std::string>& arguments, const char* help) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            std::cout << help;
            return true;
        }
    }
    return false;
}

std::string peerName(const PeerOptions& peer) { return peer.host + ":" + peer.port; }

bool isValidAeTitle(const std::string& title) {
    if (title.empty() || title.size() > 16) return false;
    bool allSpaces = true;
    for (char character : title) {
        const unsigned char byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte == 0x7F || character == '\\') return false;
        if (character != ' ') allSpaces = false;
    }
    return !allSpaces;
}

double secondsNow() {
    using Clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

namespace {

const char* rejectResultText(uint8_t result) {
    return result == 1 ? "rejected-permanent" : result == 2 ? "rejected-transient" : "unknown result";
}

const char* rejectSourceText(uint8_t source) {
    switch (source) {
        case 1:
            return "service-user";
        case 2:
            return "service-provider (ACSE)";
        case 3:
            return "service-provider (presentation)";
        default:
            return "unknown source";
    }
}

const char* rejectReasonText(uint8_t source, uint8_t reason) {
    if (reason == 1) return "no reason given";
    if (source == 1 && reason == 2) return "application context name not supported";
    if (source == 1 && reason == 3) return "calling AE title not recognised";
    if (source == 1 && reason == 7) return "called AE title not recognised";
    if (source == 2 && reason == 2) return "protocol version not supported";
    if (source == 3 && reason == 2) return "temporary congestion";
    if (source == 3 && reason == 3) return "local limit exceeded";
    return "unknown reason";
}

}  // namespace

std::string associationFailureText(const AssociationService& service, const std::string& what) {
    using RequestFailure = AssociationService::RequestFailure;
    switch (service.requestFailure) {
        case RequestFailure::cannotConnect:
            return "cannot connect: " + (service.connectError > 0
                                             ? std::error_code(service.connectError, std::system_category()).message()
                                             : std::string("the address or port cannot be resolved"));
        case RequestFailure::noAnswer:
            return "no answer to the association request within " + std::to_string(service.requestTimeoutSeconds) +
                   " s (--request-timeout)";
        case RequestFailure::closed:
            return "the peer closed the connection without answering the association request";
        case RequestFailure::rejected: {
            const AssociateRejectPdu& reject = service;
            return "association rejected: result " + std::to_string(reject.result) + " (" +
                   rejectResultText(reject.result) + "), source " + std::to_string(reject.source) + " (" +
                   rejectSourceText(reject.source) + "), reason " + std::to_string(reject.reason) + " (" +
                   rejectReasonText(reject.source, reject.reason) + ")";
        }
        case RequestFailure::aborted:
            return "the peer answered the association request with A-ABORT";
        case RequestFailure::malformedAnswer:
            return "the answer to the association request cannot be read";
        case RequestFailure::noContext:
            return "association accepted, but no presentation context for " + what;
        case RequestFailure::none:
            break;
    }
    return "no association";
}
