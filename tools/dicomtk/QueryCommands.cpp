// dicomtk find and move: C-FIND and C-MOVE as a user, with the Patient Root
// or Study Root information model; what they share with get.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "QueryCommands.h"

#include "Commands.h"

namespace {

const char* const findHelp =
    "usage: dicomtk find [-aet AET] [-aec AET] [--request-timeout S] [-P | -S]\n"
    "                    [-L PATIENT|STUDY|SERIES|IMAGE] [-k KEY[=VALUE]]... HOST PORT\n"
    "\n"
    "Asks the peer with C-FIND, in the Patient Root (-P, the default) or Study\n"
    "Root (-S) model, at the Query/Retrieve Level -L (PATIENT with -P, STUDY\n"
    "with -S unless given). Each -k adds a key, a tag written gggg,eeee or a\n"
    "keyword of the data dictionary such as PatientName: with\n"
    "=VALUE it must match (wildcards * and ?, ranges such as 20240101-20241231,\n"
    "UID lists separated by backslashes), without it the attribute is asked\n"
    "for. Prints every match as dump lines, then the number of matches. The\n"
    "answers to the association request and to the release request are\n"
    "awaited S seconds (30). Exit status 0 when the final status is Success.\n"
    "Ctrl-C cancels the query (C-CANCEL) and exits with status 130.\n";

const char* const moveHelp =
    "usage: dicomtk move [-aet AET] [-aec AET] [--request-timeout S] [-P | -S] -L LEVEL\n"
    "                    [-k KEY=VALUE]... --dest AET HOST PORT\n"
    "\n"
    "Asks the peer with C-MOVE, in the Patient Root (-P, the default) or Study\n"
    "Root (-S) model, to send what the keys select at level LEVEL to the AE\n"
    "title AET (which the peer must know). Keys as for find. Prints one line per\n"
    "pending response (remaining, completed, failed, warning) and the final\n"
    "one. The answers to the association request and to the release request\n"
    "are awaited S seconds (30). Exit status 0 only when the final status is\n"
    "Success and no sub-operation failed. Ctrl-C cancels the move (C-CANCEL)\n"
    "and exits with status 130.\n";

}  // namespace

std::string parseQuery(const std::vector<std::string>& arguments, QueryKind kind, const DataDictionary& dictionary,
                       QueryOptions& options) {
    std::vector<std::string> rest;
    bool patient = false, study = false;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "-P") {
            patient = true;
        } else if (argument == "-S") {
            study = true;
        } else if (argument == "-L" || argument == "-k" || (kind == QueryKind::move && argument == "--dest") ||
                   (kind == QueryKind::get && argument == "--out")) {
            if (index + 1 >= arguments.size()) return "missing value after " + argument;
            const std::string& value = arguments[++index];
            if (argument == "-L") {
                options.level = value;
            } else if (argument == "--dest") {
                options.destination = value;
            } else if (argument == "--out") {
                if (value.empty()) return "--out needs a folder";
                options.folder = value;
            } else {
                QueryKey key;
                const std::string problem = parseQueryKey(value, dictionary, key);
                if (!problem.empty()) return problem;
                options.keys.push_back(key);
            }
        } else {
            rest.push_back(argument);
        }
    }
    if (patient && study) return "-P and -S exclude each other";
    options.studyRoot = study;
    std::vector<std::string> values;
    std::vector<bool> flags;
    const std::string problem = parsePeerOptions(rest, {}, {}, options.peer, values, flags);
    if (!problem.empty()) return problem;
    if (!options.peer.rest.empty()) return "unexpected argument " + options.peer.rest[0];
    if (options.level.empty()) {
        if (kind != QueryKind::find) return "-L LEVEL is needed";
        options.level = study ? "STUDY" : "PATIENT";
    }
    if (options.level != "PATIENT" && options.level != "STUDY" && options.level != "SERIES" && options.level != "IMAGE") {
        return "level '" + options.level + "' is none of PATIENT, STUDY, SERIES, IMAGE";
    }
    if (study && options.level == "PATIENT") return "the Study Root model has no PATIENT level";
    if (kind == QueryKind::move) {
        if (options.destination.empty()) return "--dest AET is needed";
        if (!isValidAeTitle(options.destination)) return "destination '" + options.destination + "' is not an AE title";
    }
    if (kind == QueryKind::get && options.folder.empty()) options.folder = "dicom-get";
    return "";
}

std::unique_ptr<ObjectDataSet> identifierOf(const QueryOptions& options) {
    std::unique_ptr<ObjectDataSet> identifier(new ObjectDataSet);
    addQueryKey(*identifier, {0x0008, 0x0052, options.level, vrCode('C', 'S')});
    for (const QueryKey& key : options.keys) addQueryKey(*identifier, key);
    return identifier;
}

std::string hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

namespace {

// The user the running operation belongs to, and whether Ctrl-C came:
// all a signal handler may touch.
CancellableUser* volatile interruptedUser = nullptr;
volatile std::sig_atomic_t interruptCame = 0;
void (*previousHandler)(int) = SIG_DFL;

extern "C" void onInterrupt(int) {
    interruptCame = 1;
    CancellableUser* user = interruptedUser;
    if (user != nullptr) user->cancel();
    // The next Ctrl-C ends the program, should the peer never answer.
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

CancelOnInterrupt::CancelOnInterrupt(CancellableUser& user) {
    interruptCame = 0;
    interruptedUser = &user;
    previousHandler = std::signal(SIGINT, onInterrupt);
    if (previousHandler == SIG_ERR) previousHandler = SIG_DFL;
}

CancelOnInterrupt::~CancelOnInterrupt() {
    std::signal(SIGINT, previousHandler);
    interruptedUser = nullptr;
}

bool CancelOnInterrupt::interrupted() const { return interruptCame != 0; }

int reportCancelled(const PeerOptions& peer, bool finalResponse, uint16_t finalStatus) {
    fail(peerName(peer), std::string("cancelled (Ctrl-C), ") +
                             (finalResponse ? "final status " + hex16(finalStatus) : "no final response"));
    return cancelledExitStatus;
}

namespace {

// The C-FIND user that prints what comes back.
class PrintingFind : public FindSopClass {
public:
    PrintingFind(const char* uid, const DataDictionary& dictionary) : uid_(uid), dictionary_(dictionary) {}
    int sopClassUid(UidValue& out) override { return out.assign(uid_); }
    void onFindResponse(DataSet* response, DataSet* identifier) override {
        if (response == nullptr || identifier == nullptr) return;
        ++matches;
        std::printf("# match %ld\n", matches);
        std::fflush(stdout);
        printDataSet(identifier, false, &dictionary_);
    }
    long matches = 0;

private:
    const char* uid_;
    const DataDictionary& dictionary_;
};

// What a C-MOVE response status means, for the person reading the line.
const char* moveStatusMeaning(uint16_t status) {
    switch (status) {
        case 0x0000:
            return "success";
        case 0xFF00:
            return "pending";
        case 0xFE00:
            return "cancelled";
        case 0xA701:
            return "out of resources: cannot count the matches";
        case 0xA702:
            return "out of resources: cannot perform the sub-operations";
        case 0xA801:
            return "move destination unknown";
        case 0xA900:
            return "identifier does not match the SOP class";
        case 0xB000:
            return "sub-operations complete, one or more failures or warnings";
        case 0x0122:
            return "SOP class not supported";
        case 0x0124:
            return "not authorised";
        case 0x0211:
            return "unrecognised operation";
        default:
            break;
    }
    if ((status & 0xF000) == 0xC000) return "unable to process";
    return "unknown status";
}

class PrintingMove : public MoveSopClass {
public:
    explicit PrintingMove(const char* uid) : uid_(uid) {}
    int sopClassUid(UidValue& out) override { return out.assign(uid_); }
    void onMoveResponse(DataSet* response, DataSet*) override {
        if (response == nullptr) return;
        const uint16_t status = response->findU16(0x0000, Status);
        const bool pending = isPendingStatus(status);
        failed = response->findU16(0x0000, FailedSubOperations);
        std::printf("%s %s %s: remaining %s, completed %u, failed %u, warning %u\n", pending ? "pending" : "final",
                    hex16(status).c_str(), moveStatusMeaning(status),
                    response->find(0x0000, RemainingSubOperations) != nullptr
                        ? std::to_string(response->findU16(0x0000, RemainingSubOperations)).c_str()
                        : "-",
                    response->findU16(0x0000, CompletedSubOperations), failed,
                    response->findU16(0x0000, WarningSubOperations));
        std::fflush(stdout);
    }
    uint16_t failed = 0;

private:
    const char* uid_;
};

// What find and move share before they ask: --help, the options (keys
// named by the data dictionary, where one loads; tags only without it), and
// an association with the peer that proposes the model's SOP class.
struct QuerySession {
    DataDictionary dictionary{1, nullptr};
    QueryOptions options;
    const char* uid = nullptr;
    ToolService service;

    // Reads the arguments of find (move false) or move and requests the
    // association. -1 when the query goes on over it; otherwise the exit
    // status the command ends with (help printed, or a problem reported).
    int open(const std::vector<std::string>& arguments, const std::string& programPath, bool move) {
        const char* help = move ? moveHelp : findHelp;
        if (printedHelp(arguments, help)) return 0;
        loadDictionary(dictionary, "", programPath);
        const std::string problem =
            parseQuery(arguments, move ? QueryKind::move : QueryKind::find, dictionary, options);
        if (!problem.empty()) {
            std::cerr << help;
            return fail(move ? "move" : "find", problem);
        }
        if (move) uid = options.studyRoot ? query_uids::studyRootMove : query_uids::patientRootMove;
        else uid = options.studyRoot ? query_uids::studyRootFind : query_uids::patientRootFind;
        service.setCallingAeTitle(options.peer.callingAeTitle.c_str());
        service.setCalledAeTitle(options.peer.calledAeTitle.c_str());
        service.requestTimeoutSeconds = options.peer.requestTimeoutSeconds;
        service.proposeAbstractSyntax(UidValue(uid));
        if (!service.requestAssociation(options.peer.host.c_str(), options.peer.port.c_str())) {
            return fail(peerName(options.peer), associationFailureText(service, move ? "the C-MOVE model" : "the C-FIND model"));
        }
        return -1;
    }
};

}  // namespace

int runFind(const std::vector<std::string>& arguments, const std::string& programPath) {
    QuerySession session;
    const int ended = session.open(arguments, programPath, false);
    if (ended >= 0) return ended;
    PrintingFind find(session.uid, session.dictionary);
    std::unique_ptr<ObjectDataSet> identifier = identifierOf(session.options);
    int answered = 0;
    bool interrupted = false;
    {
        CancelOnInterrupt interrupt(find);
        answered = find.find(&session.service, identifier.get());
        interrupted = interrupt.interrupted();
    }
    session.service.release();
    if (answered) std::printf("%ld matches, final status %s\n", find.matches, hex16(find.finalStatus).c_str());
    if (interrupted) return reportCancelled(session.options.peer, answered != 0, find.finalStatus);
    if (!answered) return fail(peerName(session.options.peer), "the query ended without a final response");
    return find.finalStatus == StatusSuccess ? 0 : 1;
}

int runMove(const std::vector<std::string>& arguments, const std::string& programPath) {
    QuerySession session;
    const int ended = session.open(arguments, programPath, true);
    if (ended >= 0) return ended;
    PrintingMove move(session.uid);
    std::unique_ptr<ObjectDataSet> identifier = identifierOf(session.options);
    move.finalStatus = 0xFFFF;
    int succeeded = 0;
    bool interrupted = false;
    {
        CancelOnInterrupt interrupt(move);
        succeeded = move.move(&session.service, identifier.get(), session.options.destination.c_str());
        interrupted = interrupt.interrupted();
    }
    session.service.release();
    if (interrupted) return reportCancelled(session.options.peer, move.finalStatus != 0xFFFF, move.finalStatus);
    if (move.finalStatus == 0xFFFF) {
        return fail(peerName(session.options.peer), "the move ended without a final response");
    }
    return succeeded && move.failed == 0 ? 0 : 1;
}
