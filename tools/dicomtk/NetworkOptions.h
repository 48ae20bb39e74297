#ifndef TOOLS_DICOMTK_NETWORKOPTIONS_H
#define TOOLS_DICOMTK_NETWORKOPTIONS_H

#include <string>
#include <vector>

#include "network/AssociationService.h"

// The options the network subcommands share: the calling and called AE
// titles, and the peer HOST PORT that follow the options.
struct PeerOptions {
    std::string callingAeTitle = "DICOMTK";
    std::string calledAeTitle = "ANY-SCP";
    // How long to wait for the answer to the association request and to
    // the release request (--request-timeout): a peer that never answers
    // the release is left after it.
    int requestTimeoutSeconds = 30;
    std::string host;
    std::string port;
    std::vector<std::string> rest;  // what follows HOST PORT
};

// Reads -aet/-aec (and --aet/--aec), --request-timeout S, and one value of
// each option in `valued` (e.g. "--repeat"), flags in `flags`; the first two
// other arguments are HOST and PORT, the others go to rest. values receives
// the valued options in order of `valued`. Returns "" or the problem.
std::string parsePeerOptions(const std::vector<std::string>& arguments, const std::vector<std::string>& valued,
                             const std::vector<std::string>& flags, PeerOptions& peer,
                             std::vector<std::string>& values, std::vector<bool>& flagged);

// Prints help when the arguments ask for it anywhere (--help or -h), before
// any of them is read; whether it did.
bool printedHelp(const std::vector<std::string>& arguments, const char* help);

// "HOST:PORT", for messages.
std::string peerName(const PeerOptions& peer);

// An AE title as a peer expects it: 1 to 16 characters, none of them a
// backslash or a control character, not all spaces.
bool isValidAeTitle(const std::string& title);

// Why service.requestAssociation established no association, in words a
// person can act on: a refused connection (with the system's reason), no
// answer in time, a rejection with its result, source and reason as
// numbers and words, an abort, or no context accepted (what is the
// contexts' name, e.g. "Verification").
std::string associationFailureText(const AssociationService& service, const std::string& what);

// Seconds since an arbitrary start, for timing.
double secondsNow();

#endif
