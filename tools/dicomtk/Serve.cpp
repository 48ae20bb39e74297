// dicomtk serve: a storage server. It answers C-ECHO, and C-STORE of a
// storage SOP class by writing each object into its folder, serving several
// associations at once, each with its own service on its own thread, until
// SIGINT or SIGTERM stops it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Commands.h"
#include "FolderStore.h"
#include "Log.h"
#include "ServeLog.h"
#include "ServeServices.h"
#include "QueryProviders.h"
#include "dimse/ConfiguredAssociationService.h"
#include "dimse/VerificationSopClass.h"
#include "platform/Sockets.h"

namespace {

const char* const serveHelp =
    "usage: dicomtk serve [--port P] [--aet AET] [--store-dir DIR] [--request-timeout S]\n"
    "                     [--max-associations N] [--max-message-size BYTES] [--no-fsync]\n"
    "                     [--destinations FILE] [--reindex] [--config FILE]\n"
    "                     [--log-level error|warning|info|debug] [--log-format text|json]\n"
    "\n"
    "A storage server: answers C-ECHO, and C-STORE of a storage SOP class by writing\n"
    "each object to DIR/<SOP Instance UID>.dcm (DIR ./dicom-store unless\n"
    "given, created when missing) as a DICOM file with meta information\n"
    "naming the sender's AE title as its source, in the transfer syntax it\n"
    "arrived in: implicit VR little endian, explicit VR little or big endian,\n"
    "deflated, or a compressed one (JPEG, JPEG-LS, JPEG 2000, RLE...), kept\n"
    "byte for byte. Success is answered only once the file\n"
    "is complete, flushed to disk and renamed into place (--no-fsync leaves the\n"
    "flushing to the system, as most storage servers do). Listens on port P\n"
    "(11112) as AE title AET (DICOMTK), serves up to N associations at once (8)\n"
    "and drops a connection that sends no association request within S seconds\n"
    "(30). An association whose peer sends a message (command set or data\n"
    "set) of more than BYTES (4294967295, the most a message can hold) is\n"
    "aborted. SIGINT or SIGTERM ends it cleanly.\n"
    "\n"
    "It answers C-FIND and C-MOVE (Patient Root and Study Root; levels PATIENT,\n"
    "STUDY, SERIES, IMAGE) over what it holds, from an index in DIR that is\n"
    "kept up to date as objects arrive and rebuilt from the files when it is\n"
    "missing or with --reindex. C-MOVE sends to the destinations of FILE, a\n"
    "text of 'AET HOST PORT' lines ('#' starts a comment), each object in the\n"
    "transfer syntax it is kept in when the destination accepts it, else an\n"
    "uncompressed object converted into an uncompressed syntax it accepts; a\n"
    "compressed object it refused is logged and counted as failed. C-FIND\n"
    "answers carry Retrieve AE Title (AET). Only Verification, the standard's\n"
    "storage SOP classes and the query/retrieve models are accepted.\n"
    "\n"
    "The log, on standard output: at info, one line when an association opens\n"
    "(peer, AE titles, contexts accepted of proposed), one when it ends (how,\n"
    "messages by kind, bytes stored, seconds) and one per failure with its\n"
    "reason (a refused association with the reason); debug adds one line per\n"
    "message. Text lines start with an ISO 8601 UTC time and the level; under\n"
    "systemd (JOURNAL_STREAM set) with a syslog priority prefix (<3> error,\n"
    "<4> warning, <6> info, <7> debug) instead. --log-format json writes one\n"
    "object per line: time, level, event, peer, calling, called, message and\n"
    "the event's figures.\n"
    "\n"
    "--config FILE takes the acceptance policy from a configuration file, a\n"
    "text of lines 'NAME VALUE KEYWORD' ('#' first starts a comment; NAME is\n"
    "any label), KEYWORD one of (letter case does not matter):\n"
    "  RemoteAE     a calling AE title that may call\n"
    "  LocalAE      a called AE title answered\n"
    "  Application  an application context name\n"
    "  Abstract     an abstract syntax (SOP class) UID; SOP is the same\n"
    "  Transfer     a transfer syntax UID\n"
    "for example 'scanner CT_SCANNER RemoteAE' or 'ct 1.2.840.10008.5.1.4.1.1.2\n"
    "SOP'. A list left out accepts everything; a transfer syntax is accepted\n"
    "only when dicomtk can also read it. A line with another keyword stops\n"
    "serve at start, naming its line; the policy in force is logged at start.\n";

std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int) { stopRequested = true; }

using logging::Level;

void say(Level level, const std::string& event, const std::string& line, bool always = false) {
    logging::write(level, event, line, always);
}

std::string addressText(const SocketAddress& address) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address.address);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", bytes[0], bytes[1], bytes[2], bytes[3],
                  platform::networkToHost16(address.port));
    return text;
}

std::string hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

struct Settings {
    std::string port = "11112";
    std::string aeTitle = "DICOMTK";
    std::string folder = "dicom-store";
    int32_t requestTimeout = 30;
    long maximumAssociations = 8;
    uint64_t maximumMessage = PDataPdu::defaultMaximumMessageLength;
    bool sync = true;
    bool reindex = false;
    std::string destinationsFile;
    std::string configFile;
};

// What every association shares: the index of the store and the move
// destinations.
struct SharedState {
    StoreIndex index;
    bool indexed = false;
    MoveDestinations destinations;
    std::unique_ptr<ConfiguredAssociationService> policy;
    // The VRs of objects stored in implicit VR, for a retrieval that sends
    // one converted into explicit VR.
    DataDictionary dictionary{0, nullptr};
    bool hasDictionary = false;
};

// The connections being served. The listening thread registers each one as
// it accepts it, before its thread starts, so that the count it checks
// against --max-associations is never behind, and a stop reaches every
// connection, also one whose thread has not begun to read it yet.
class ActiveConnections {
public:
    void add(SocketHandle connection) {
        std::lock_guard<std::mutex> lock(guard_);
        connections_.insert(connection);
    }
    // Called once the connection's service has closed it.
    void remove(SocketHandle connection) {
        std::lock_guard<std::mutex> lock(guard_);
        connections_.erase(connections_.find(connection));
        changed_.notify_all();
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(guard_);
        return connections_.size();
    }
    // Waits (a bounded time) until fewer than limit are active.
    bool waitBelow(size_t limit) {
        std::unique_lock<std::mutex> lock(guard_);
        return changed_.wait_for(lock, std::chrono::milliseconds(200), [&] { return connections_.size() < limit; });
    }
    // Ends every connection's input, so that a thread waiting for its peer
    // wakes up and its association ends. (A handle its service has closed
    // already can at most name a file of another thread by now, which a
    // socket shutdown leaves alone: no socket is opened after the stop.)
    void wakeAll() {
        std::lock_guard<std::mutex> lock(guard_);
        for (SocketHandle connection : connections_) platform::shutdownSocket(connection);
    }

private:
    std::mutex guard_;
    std::condition_variable changed_;
    std::multiset<SocketHandle> connections_;
};

// Offers a command to each provider of one service (the Patient Root and
// Study Root models) until one takes it. Whether one took it; problem is
// what that one had to say (empty when nothing).
template <class Provider, size_t count>
bool offerCommand(Provider* (&providers)[count], AssociationService& service, CommandSet& command,
                  std::string& problem) {
    for (Provider* provider : providers) {
        provider->lastProblem.clear();
        if (provider->handleCommand(&service, &command)) {
            problem = provider->lastProblem;
            return true;
        }
    }
    return false;
}

// One association, from the accepted connection to its end; the service
// closes the connection.
void serveAssociation(SocketHandle connection, SocketAddress peerAddress, const Settings& settings,
                      SharedState& shared) {
    std::unique_ptr<ToolService> made(shared.policy ? static_cast<ToolService*>(new ConfiguredService(*shared.policy))
                                                    : new ServerService);
    ToolService& service = *made;
    service.requestTimeoutSeconds = settings.requestTimeout;
    service.maximumMessageLength = static_cast<uint32_t>(settings.maximumMessage);
    AssociationLog log;
    log.peer = addressText(peerAddress);
    const auto opened = std::chrono::steady_clock::now();
    if (!service.serveConnection(connection)) {
        if (service.refusal != AssociationService::Refusal::silent &&
            service.refusal != AssociationService::Refusal::closed &&
            service.refusal != AssociationService::Refusal::malformed) {
            log.calling = trimmedTitle(service.AssociateRequestPdu::callingAeTitle);
            log.called = trimmedTitle(service.AssociateRequestPdu::calledAeTitle);
        }
        logging::Event line = log.event(Level::warning, refusalEvent(service.refusal),
                                        " not established: " + refusalText(service, settings.requestTimeout));
        line.figure("proposed", static_cast<long long>(service.AssociateRequestPdu::presentationContexts.count()));
        logging::write(line);
        return;
    }
    log.calling = trimmedTitle(service.AssociateRequestPdu::callingAeTitle);
    log.called = trimmedTitle(service.AssociateRequestPdu::calledAeTitle);
    {
        // The contexts the answer accepts: the service also keeps, as
        // accepted, a context whose abstract syntax it answered as refused.
        long long accepted = 0;
        for (uint32_t index = 0; index < service.AssociateAcceptPdu::presentationContexts.count(); ++index) {
            accepted += service.AssociateAcceptPdu::presentationContexts.at(index)->element.resultReason == ContextAccepted;
        }
        const long long proposed = service.AssociateRequestPdu::presentationContexts.count();
        if (accepted == 0) {
            // Nothing can be asked on it: the peer releases, aborts or closes.
            logging::Event line = log.event(Level::warning, "no-acceptable-context",
                                            " not established: no acceptable presentation context (0 of " +
                                                std::to_string(proposed) + " proposed accepted)");
            logging::write(line.figure("proposed", proposed));
            CommandSet ignored;
            while (service.readMessage(ignored)) {
            }
            if (service.socket.connected) service.release();
            return;
        }
        logging::Event line = log.event(Level::info, "association-open",
                                        " established: " + std::to_string(accepted) + " of " +
                                            std::to_string(proposed) + " presentation contexts accepted");
        logging::write(line.figure("accepted", accepted).figure("proposed", proposed));
    }
    VerificationSopClass verification;
    FolderStore storage(settings.folder, settings.sync, shared.indexed ? &shared.index : nullptr);
    const DataDictionary* dictionary = shared.hasDictionary ? &shared.dictionary : nullptr;
    IndexedFind patientRootFind(shared.index, StoreIndex::Model::patientRoot, query_uids::patientRootFind,
                                settings.aeTitle, dictionary);
    IndexedFind studyRootFind(shared.index, StoreIndex::Model::studyRoot, query_uids::studyRootFind, settings.aeTitle,
                              dictionary);
    IndexedMove patientRootMove(shared.index, StoreIndex::Model::patientRoot, query_uids::patientRootMove,
                                shared.destinations, settings.aeTitle, dictionary);
    IndexedMove studyRootMove(shared.index, StoreIndex::Model::studyRoot, query_uids::studyRootMove,
                              shared.destinations, settings.aeTitle, dictionary);
    IndexedGet patientRootGet(shared.index, StoreIndex::Model::patientRoot, query_uids::patientRootGet, dictionary);
    IndexedGet studyRootGet(shared.index, StoreIndex::Model::studyRoot, query_uids::studyRootGet, dictionary);
    for (IndexedMove* mover : {&patientRootMove, &studyRootMove}) {
        mover->report = [&log](const std::string& problem) { log.write(Level::error, "move-failed", ": C-MOVE: " + problem); };
    }
    for (IndexedGet* getter : {&patientRootGet, &studyRootGet}) {
        getter->report = [&log](const std::string& problem) { log.write(Level::error, "get-failed", ": C-GET: " + problem); };
    }
    long stored = 0, failed = 0, echoes = 0, queries = 0, moves = 0, gets = 0;
    unsigned long long bytesStored = 0;
    std::string ending = "released";
    const char* endingEvent = "association-released";
    for (;;) {
        CommandSet command;
        const auto reading = std::chrono::steady_clock::now();
        if (!service.readMessage(command)) {
            using ReadEnding = AssociationService::ReadEnding;
            const bool waitedOut = std::chrono::steady_clock::now() - reading >=
                                   std::chrono::seconds(service.socket.timeoutSeconds);
            switch (service.readEnding) {
                case ReadEnding::released:
                case ReadEnding::none:
                    break;
                case ReadEnding::abortedByPeer:
                    ending = "aborted by the peer (A-ABORT)";
                    endingEvent = "association-aborted";
                    break;
                case ReadEnding::protocolError:
                    ending = service.PDataPdu::messageTooLong
                                 ? "aborted by serve: a message of more than " + std::to_string(settings.maximumMessage) +
                                       " bytes (--max-message-size)"
                                 : "aborted by serve: a PDU that breaks the protocol";
                    endingEvent = "association-aborted";
                    break;
                case ReadEnding::undecodable:
                    ending = "aborted by serve: a message that cannot be decoded";
                    endingEvent = "association-aborted";
                    break;
                case ReadEnding::connectionLost:
                    ending = waitedOut ? "timed out (nothing from the peer for " +
                                             std::to_string(service.socket.timeoutSeconds) + " s)"
                                       : "connection lost";
                    endingEvent = waitedOut ? "association-timed-out" : "connection-lost";
                    break;
            }
            break;
        }
        const uint16_t field = command.findU16(0x0000, CommandField);
        if (logging::enabled(Level::debug)) {
            UidValue abstractSyntax;
            std::string syntax;
            if (service.abstractSyntaxOfContext(service.PDataPdu::currentContextId, abstractSyntax)) {
                syntax = std::string(abstractSyntax.text(), std::strlen(abstractSyntax.text()));
            }
            logging::Event line = log.event(Level::debug, "message",
                                            ": " + std::string(commandName(field)) + " (" + hex16(field) +
                                                ") on context " + std::to_string(service.PDataPdu::currentContextId) +
                                                " (" + syntax + ")");
            logging::write(line.figure("command", field)
                               .figure("context", service.PDataPdu::currentContextId)
                               .figure("abstract_syntax", syntax));
        }
        if (field == CEchoRequest && verification.handleCommand(&service, &command)) {
            ++echoes;
            continue;
        }
        if (field == CStoreRequest) {
            const int answered = storage.handleStore(&service, &command);
            if (answered && storage.lastStatus == StatusSuccess) {
                ++stored;
                std::error_code sizeError;
                const auto size = std::filesystem::file_size(settings.folder + "/" + storage.lastUid + ".dcm", sizeError);
                if (!sizeError) bytesStored += size;
                if (!storage.replaced.empty()) {
                    log.write(Level::warning, "object-replaced", ": " + storage.replaced);
                }
                if (!storage.lastProblem.empty()) log.write(Level::warning, "store-warning", ": " + storage.lastProblem);
                continue;
            }
            ++failed;
            std::string problem = storage.lastProblem;
            if (!answered && service.PDataPdu::messageTooLong) {
                problem = "the message is larger than the limit of " + std::to_string(settings.maximumMessage) +
                          " bytes (--max-message-size)";
            }
            logging::Event line = log.event(
                Level::error, "store-failed",
                ": C-STORE of '" + storage.lastUid + "' failed: " +
                    (answered ? hex16(storage.lastStatus) + ", " : std::string("no answer sent, ")) + problem);
            line.figure("sop_instance_uid", storage.lastUid);
            if (answered) line.figure("status", storage.lastStatus);
            logging::write(line);
            if (!answered) {
                ending = service.PDataPdu::messageTooLong
                             ? "aborted by serve: a message of more than " + std::to_string(settings.maximumMessage) +
                                   " bytes (--max-message-size)"
                             : "ended";
                endingEvent = "association-aborted";
                break;
            }
            continue;
        }
        IndexedFind* finds[] = {&patientRootFind, &studyRootFind};
        IndexedMove* movers[] = {&patientRootMove, &studyRootMove};
        IndexedGet* getters[] = {&patientRootGet, &studyRootGet};
        std::string problem;
        if (field == CFindRequest && shared.indexed && offerCommand(finds, service, command, problem)) {
            ++queries;
            if (!problem.empty()) log.write(Level::error, "find-refused", ": C-FIND refused: " + problem);
            continue;
        }
        if (field == CMoveRequest && shared.indexed && offerCommand(movers, service, command, problem)) {
            ++moves;
            if (!problem.empty()) log.write(Level::error, "move-failed", ": C-MOVE: " + problem);
            continue;
        }
        if (field == CGetRequest && shared.indexed && offerCommand(getters, service, command, problem)) {
            ++gets;
            if (!problem.empty()) log.write(Level::error, "get-failed", ": C-GET: " + problem);
            continue;
        }
        // A C-CANCEL that comes after the operation it names has ended
        // (the final response crossed it) has nothing left to stop.
        if (field == CCancelRequest) continue;
        std::string why;
        if ((field == CFindRequest || field == CMoveRequest || field == CGetRequest) && shared.indexed) {
            // No model took it: a SOP class of no model served here, or an identifier that cannot be read.
            const char* what = field == CFindRequest ? "C-FIND" : field == CMoveRequest ? "C-MOVE" : "C-GET";
            why = std::string(what) + " request of no served model or with an unreadable identifier";
        } else {
            why = "command " + hex16(field) + " is not served";
        }
        log.write(Level::error, "command-refused", ": " + why + "; association aborted");
        service.abort();
        // The reason is on the line above; counting scripts see it once.
        ending = "aborted by serve: a request it does not serve";
        endingEvent = "association-aborted";
        break;
    }
    if (service.socket.connected) service.release();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", seconds);
    logging::Event line = log.event(Level::info, endingEvent,
                                    " " + ending + ": " + std::to_string(stored) + " stored, " +
                                        std::to_string(failed) + " failed, " + std::to_string(echoes) + " echoes, " +
                                        std::to_string(queries) + " queries, " + std::to_string(moves) + " moves, " +
                                        std::to_string(gets) + " gets, " + std::to_string(bytesStored) +
                                        " bytes stored, " + duration + " s");
    line.figure("stored", stored).figure("failed", failed).figure("echoes", echoes).figure("queries", queries);
    line.figure("moves", moves).figure("gets", gets).figure("bytes_stored", static_cast<long long>(bytesStored));
    line.figures.push_back({"seconds", duration, true});
    logging::write(line);
}

void serveOne(SocketHandle connection, SocketAddress peerAddress, const Settings& settings, SharedState& shared,
              ActiveConnections& active) {
    serveAssociation(connection, peerAddress, settings, shared);
    active.remove(connection);
}

bool parseCount(const std::string& text, long low, long high, long& out) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

// A byte count from low to high, digits only (long is 32 bits on Windows).
bool parseByteCount(const std::string& text, uint64_t low, uint64_t high, uint64_t& out) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
    if (value < low || value > high) return false;
    out = value;
    return true;
}

}  // namespace

int runServe(const std::vector<std::string>& arguments, const std::string& programPath) {
    Settings settings;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            std::cout << serveHelp;
            return 0;
        }
        auto value = [&](std::string& into) {
            if (index + 1 >= arguments.size()) return false;
            into = arguments[++index];
            return true;
        };
        std::string text;
        long number = 0;
        if (argument == "--port") {
            if (!value(text) || !parseCount(text, 1, 65535, number)) return fail("serve", "--port needs a port number");
            settings.port = text;
        } else if (argument == "--aet") {
            if (!value(settings.aeTitle) || settings.aeTitle.empty() || settings.aeTitle.size() > 16) {
                return fail("serve", "--aet needs an AE title of 1 to 16 characters");
            }
        } else if (argument == "--store-dir") {
            if (!value(settings.folder) || settings.folder.empty()) return fail("serve", "--store-dir needs a folder");
        } else if (argument == "--request-timeout") {
            if (!value(text) || !parseCount(text, 1, 3600, number)) {
                return fail("serve", "--request-timeout needs seconds from 1 to 3600");
            }
            settings.requestTimeout = static_cast<int32_t>(number);
        } else if (argument == "--max-associations") {
            if (!value(text) || !parseCount(text, 1, 1000, settings.maximumAssociations)) {
                return fail("serve", "--max-associations needs a count from 1 to 1000");
            }
        } else if (argument == "--max-message-size") {
            if (!value(text) || !parseByteCount(text, 1024, PDataPdu::defaultMaximumMessageLength, settings.maximumMessage)) {
                return fail("serve", "--max-message-size needs bytes from 1024 to 4294967295");
            }
        } else if (argument == "--log-format") {
            if (!value(text) || (text != "text" && text != "json")) return fail("serve", "--log-format takes text or json");
            logging::setFormat(text == "json" ? logging::Format::json : logging::Format::text);
        } else if (argument == "--no-fsync") {
            settings.sync = false;
        } else if (argument == "--config") {
            if (!value(settings.configFile) || settings.configFile.empty()) return fail("serve", "--config needs a file");
        } else if (argument == "--reindex") {
            settings.reindex = true;
        } else if (argument == "--destinations") {
            if (!value(settings.destinationsFile) || settings.destinationsFile.empty()) {
                return fail("serve", "--destinations needs a file");
            }
        } else {
            std::cerr << serveHelp;
            return fail("serve", "unknown argument " + argument);
        }
    }

    std::error_code error;
    std::filesystem::create_directories(settings.folder, error);
    if (!std::filesystem::is_directory(settings.folder, error)) return fail(settings.folder, "cannot be created");

    SharedState shared;
    if (!settings.destinationsFile.empty() && !shared.destinations.load(settings.destinationsFile)) {
        return fail(settings.destinationsFile, shared.destinations.problem);
    }
    if (!settings.configFile.empty()) {
        shared.policy.reset(new ConfiguredAssociationService(nullptr));
        // A file that cannot be read would accept everything: a typo must stop the server.
        if (!shared.policy->loadConfiguration(settings.configFile.c_str())) {
            return fail(settings.configFile, "cannot read the configuration");
        }
        if (shared.policy->unknownKeywordLine != 0) {
            return fail(settings.configFile + ":" + std::to_string(shared.policy->unknownKeywordLine),
                        "unknown keyword '" + std::string(shared.policy->unknownKeyword) +
                            "' (RemoteAE, LocalAE, Application, Abstract or SOP, Transfer)");
        }
    }
    shared.hasDictionary = loadDictionary(shared.dictionary, "", programPath) == 1;
    shared.indexed = shared.index.open(settings.folder, settings.reindex) == 1;
    if (!shared.indexed) {
        say(logging::Level::warning, "no-index",
            "dicomtk serve: no query index (" + shared.index.problem + "); C-FIND and C-MOVE are not served");
    }

    SocketStream listener;
    if (!listener.listenOn(settings.port.c_str())) {
        return fail("serve", "cannot listen on port " + settings.port + ": " + socketErrorText(listener));
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    say(logging::Level::info, "listening",
        "dicomtk serve: listening on port " + settings.port + " as " + settings.aeTitle + ", storing into " +
            settings.folder,
        true);
    if (shared.policy) say(logging::Level::info, "policy", "dicomtk serve: policy of " + settings.configFile + ": " + policySummary(*shared.policy));

    ActiveConnections active;
    // Each worker with the flag it raises when its association is over, so
    // that finished threads are joined as the server goes on.
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Worker> workers;
    auto joinFinished = [&workers] {
        for (auto worker = workers.begin(); worker != workers.end();) {
            if (*worker->done) {
                worker->thread.join();
                worker = workers.erase(worker);
            } else {
                ++worker;
            }
        }
    };
    while (!stopRequested) {
        joinFinished();
        if (active.count() >= static_cast<size_t>(settings.maximumAssociations)) {
            active.waitBelow(static_cast<size_t>(settings.maximumAssociations));
            continue;
        }
        // Short waits, so that a stop is noticed within a second.
        const int ready = platform::waitReadable(listener.listenSocket, 1);
        if (ready != 1) continue;
        if (!listener.acceptOne()) {
            if (stopRequested) break;
            // A failed accept closes the listening socket: listen again.
            if (!listener.listenOn(settings.port.c_str())) {
                return fail("serve", "cannot listen on port " + settings.port + ": " + socketErrorText(listener));
            }
            continue;
        }
        const SocketHandle connection = listener.dataSocket;
        const SocketAddress peer = listener.address;
        listener.dataSocket = 0;
        listener.connected = 0;
        active.add(connection);
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers.push_back({std::thread([connection, peer, &settings, &shared, &active, done] {
                               serveOne(connection, peer, settings, shared, active);
                               *done = true;
                           }),
                           done});
    }
    listener.closeAll();
    active.wakeAll();
    for (Worker& worker : workers) worker.thread.join();
    say(logging::Level::info, "stopped", "dicomtk serve: stopped");
    return 0;
}
