// dicomtk echo: C-ECHO requests to a peer over one association.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "NetworkOptions.h"
#include "dimse/VerificationSopClass.h"

namespace {

const char* const echoHelp =
    "usage: dicomtk echo [-aet AET] [-aec AET] [--request-timeout S] [--repeat N]\n"
    "                    HOST PORT\n"
    "\n"
    "Opens one association with the peer (calling AE title DICOMTK and called\n"
    "AE title ANY-SCP unless given), sends N C-ECHO requests (1 unless given)\n"
    "and releases. The answers to the association request and to the release\n"
    "request are awaited S seconds (30); a peer that never answers the release\n"
    "is left then. Prints one line with the peer, the count and the time.\n"
    "Exit status 0 only when every echo was answered with status 0x0000.\n";

}  // namespace

int runEcho(const std::vector<std::string>& arguments) {
    if (printedHelp(arguments, echoHelp)) return 0;
    PeerOptions peer;
    std::vector<std::string> values;
    std::vector<bool> flags;
    const std::string problem = parsePeerOptions(arguments, {"--repeat"}, {}, peer, values, flags);
    if (!problem.empty() || !peer.rest.empty()) {
        std::cerr << echoHelp;
        return fail("echo", problem.empty() ? "unexpected argument " + peer.rest[0] : problem);
    }
    long repeat = 1;
    if (!values[0].empty()) {
        char* end = nullptr;
        repeat = std::strtol(values[0].c_str(), &end, 10);
        if (end == values[0].c_str() || *end != '\0' || repeat < 1 || repeat > 100000000) {
            return fail("echo", "--repeat needs a count from 1 on, not '" + values[0] + "'");
        }
    }

    AssociationService service;
    service.setCallingAeTitle(peer.callingAeTitle.c_str());
    service.setCalledAeTitle(peer.calledAeTitle.c_str());
    service.requestTimeoutSeconds = peer.requestTimeoutSeconds;
    service.proposeAbstractSyntax(UidValue(VerificationSopClass::uid));
    const double start = secondsNow();
    if (!service.requestAssociation(peer.host.c_str(), peer.port.c_str())) {
        return fail(peerName(peer), associationFailureText(service, "Verification"));
    }
    VerificationSopClass verification;
    long answered = 0;
    for (long round = 0; round < repeat; ++round) {
        uint16_t status = 0xFFFF;
        if (!verification.echo(&service, status)) {
            service.release();
            return fail(peerName(peer), "no answer to C-ECHO " + std::to_string(round + 1));
        }
        if (status != StatusSuccess) {
            char text[8];
            std::snprintf(text, sizeof text, "%04X", status);
            service.release();
            return fail(peerName(peer), std::string("C-ECHO answered with status 0x") + text);
        }
        ++answered;
    }
    service.release();
    const double seconds = secondsNow() - start;
    std::printf("%s: %ld C-ECHO answered with success in %.3f s\n", peerName(peer).c_str(), answered, seconds);
    return 0;
}
