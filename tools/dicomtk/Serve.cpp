// dicomtk serve: a storage server. It answers C-ECHO, and C-STORE of any SOP
// class by writing each object into its folder, serving several
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
#include "dimse/VerificationSopClass.h"
#include "platform/Sockets.h"

namespace {

const char* const serveHelp =
    "usage: dicomtk serve [--port P] [--aet AET] [--store-dir DIR] [--request-timeout S]\n"
    "                     [--max-associations N] [--no-fsync]\n"
    "\n"
    "A storage server: answers C-ECHO, and C-STORE of any SOP class by writing\n"
    "each object to DIR/<SOP Instance UID>.dcm (DIR ./dicom-store unless\n"
    "given, created when missing) as a DICOM file with meta information, in\n"
    "the transfer syntax it arrived in (implicit VR little endian, explicit VR\n"
    "little or big endian). Success is answered only once the file\n"
    "is complete, flushed to disk and renamed into place (--no-fsync leaves the\n"
    "flushing to the system, as most storage servers do). Listens on port P\n"
    "(11112) as AE title AET (DICOMTK), serves up to N associations at once (8)\n"
    "and drops a connection that sends no association request within S seconds\n"
    "(30). Prints one line per association and one per failure. SIGINT or\n"
    "SIGTERM ends it cleanly.\n";

std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int) { stopRequested = true; }

std::mutex outputGuard;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outputGuard);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
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
    bool sync = true;
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

// The service of one association. Besides implicit VR little endian it
// accepts the explicit VR syntaxes, so that an object arrives, and is kept,
// in the byte order and form its sender holds it in: a sender that does not
// convert values (dicomtk store among them) can send big-endian objects
// only as explicit VR big endian.
class ServerAssociation : public AssociationService {
public:
    int acceptTransferSyntax(const TransferSyntaxItem& proposed) override {
        for (const char* uid : {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"}) {
            if (std::strcmp(proposed.value.text(), uid) == 0) return 1;
        }
        return 0;
    }
};

// One association, from the accepted connection to its end; the service
// closes the connection.
void serveAssociation(SocketHandle connection, SocketAddress peerAddress, const Settings& settings) {
    ServerAssociation service;
    service.requestTimeoutSeconds = settings.requestTimeout;
    const std::string peer = addressText(peerAddress);
    if (!service.serveConnection(connection)) {
        say("association from " + peer + " not established (refused, malformed or silent)");
        return;
    }
    auto trimmed = [](const char* title) {
        std::string text(title);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    };
    const std::string titles = trimmed(service.AssociateRequestPdu::callingAeTitle) + " -> " +
                               trimmed(service.AssociateRequestPdu::calledAeTitle);
    VerificationSopClass verification;
    FolderStore storage(settings.folder, settings.sync);
    long stored = 0, failed = 0, echoes = 0;
    std::string ending = "released";
    for (;;) {
        CommandSet command;
        if (!service.readMessage(command)) {
            // Only the peer's release leaves the connection open (for the
            // peer to close); an A-ABORT, a broken protocol or a message
            // that cannot be decoded closed it, and is a failure to report.
            if (service.socket.connected == 0) {
                ending = service.transportFailed ? "connection lost"
                                                 : "aborted (A-ABORT from the peer, or a message that breaks the "
                                                   "protocol or cannot be decoded)";
            }
            break;
        }
        const uint16_t field = command.findU16(0x0000, CommandField);
        if (field == CEchoRequest && verification.handleCommand(&service, &command)) {
            ++echoes;
            continue;
        }
        if (field == CStoreRequest) {
            const int answered = storage.handleStore(&service, &command);
            if (answered && storage.lastStatus == StatusSuccess) {
                ++stored;
                continue;
            }
            ++failed;
            say("association from " + peer + ": C-STORE of '" + storage.lastUid + "' failed: " +
                (answered ? hex16(storage.lastStatus) + ", " : std::string("no answer sent, ")) + storage.lastProblem);
            if (!answered) {
                ending = "ended";
                break;
            }
            continue;
        }
        say("association from " + peer + ": command " + hex16(field) + " is not served; association aborted");
        service.abort();
        ending = "aborted";
        break;
    }
    if (service.socket.connected) service.release();
    say("association from " + peer + " (" + titles + ") " + ending + ": " + std::to_string(stored) + " stored, " +
        std::to_string(failed) + " failed, " + std::to_string(echoes) + " echoes");
}

void serveOne(SocketHandle connection, SocketAddress peerAddress, const Settings& settings, ActiveConnections& active) {
    serveAssociation(connection, peerAddress, settings);
    active.remove(connection);
}

bool parseCount(const std::string& text, long low, long high, long& out) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

}  // namespace

int runServe(const std::vector<std::string>& arguments) {
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
        } else if (argument == "--no-fsync") {
            settings.sync = false;
        } else {
            std::cerr << serveHelp;
            return fail("serve", "unknown argument " + argument);
        }
    }

    std::error_code error;
    std::filesystem::create_directories(settings.folder, error);
    if (!std::filesystem::is_directory(settings.folder, error)) return fail(settings.folder, "cannot be created");

    SocketStream listener;
    if (!listener.listenOn(settings.port.c_str())) return fail("serve", "cannot listen on port " + settings.port);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    say("dicomtk serve: listening on port " + settings.port + " as " + settings.aeTitle + ", storing into " +
        settings.folder);

    ActiveConnections active;
    std::list<std::thread> workers;
    while (!stopRequested) {
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
            if (!listener.listenOn(settings.port.c_str())) return fail("serve", "cannot listen on port " + settings.port);
            continue;
        }
        const SocketHandle connection = listener.dataSocket;
        const SocketAddress peer = listener.address;
        listener.dataSocket = 0;
        listener.connected = 0;
        active.add(connection);
        workers.emplace_back(serveOne, connection, peer, std::cref(settings), std::ref(active));
    }
    listener.closeAll();
    active.wakeAll();
    for (std::thread& worker : workers) worker.join();
    say("dicomtk serve: stopped");
    return 0;
}
