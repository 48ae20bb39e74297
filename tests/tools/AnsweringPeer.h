#ifndef TESTS_TOOLS_ANSWERINGPEER_H
#define TESTS_TOOLS_ANSWERINGPEER_H

// A peer on 127.0.0.1, played by a thread, that answers what it is asked:
// it accepts one connection after another on a port, and on each sends its
// opening bytes (an A-ASSOCIATE-AC, say) and then runs that connection's
// script. A script reads whole messages as they come and sends what it
// builds from them, so that a response can name the Message ID of the
// request it answers. Once a script is done, the peer collects what the
// other side sends until it closes the connection or nothing comes for
// quietSeconds.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../dimse/DimseFixtures.h"
#include "platform/Sockets.h"
#include "stream/SocketStream.h"

class AnsweringPeer {
public:
    using Bytes = std::vector<uint8_t>;
    using Script = std::function<void(AnsweringPeer&)>;

    struct Connection {
        Bytes opening;
        Script script;
    };

    AnsweringPeer(uint16_t port, std::vector<Connection> connections, int32_t quietSeconds = 5)
        : connections_(std::move(connections)), quietSeconds_(quietSeconds) {
        // Listening before the thread starts, so the other side can connect at once.
        listening_ = socket_.listenOn(std::to_string(port).c_str());
        thread_ = std::thread([this] { run(); });
    }

    ~AnsweringPeer() { finish(); }
    AnsweringPeer(const AnsweringPeer&) = delete;
    AnsweringPeer& operator=(const AnsweringPeer&) = delete;

    // Waits until the peer is done; then received and closedByOther hold,
    // one entry per connection that came.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    // For scripts. The next complete message of this connection (a command
    // set or a data set), waiting for it; false when none came in time or
    // the connection ended.
    bool nextMessage(dimse::Message& message) {
        for (;;) {
            const std::vector<dimse::Message> messages = dimse::messagesIn(received.back());
            if (messages.size() > taken_) {
                message = messages[taken_++];
                lastContextId = message.contextId;
                return true;
            }
            if (!receiveSome()) return false;
        }
    }

    // The PDU that opened this connection (an A-ASSOCIATE-RQ, when the
    // opening bytes are left to the script), decoded into request; false
    // when it did not come whole or is another PDU.
    bool associateRequest(AssociateRequestPdu& request) {
        for (;;) {
            const std::vector<association::ReceivedPdu> pdus = association::splitPdus(received.back());
            if (!pdus.empty() && pdus[0].type != 0xFF) {
                return pdus[0].type == 0x01 && association::decode(pdus[0].bytes, request) == 1;
            }
            if (!receiveSome()) return false;
        }
    }

    // The next command set, decoded; its data set, when its Command Data
    // Set Type announces one, into dataSet. Null when none came.
    std::unique_ptr<CommandSet> nextCommand(Bytes* dataSet = nullptr) {
        dimse::Message message;
        if (!nextMessage(message) || !message.command) return nullptr;
        std::unique_ptr<CommandSet> command = dimse::decodeCommand(message.bytes);
        if (command && command->findU16(0x0000, CommandDataSetType) != NoDataSet) {
            dimse::Message data;
            if (!nextMessage(data) || data.command) return nullptr;
            if (dataSet != nullptr) *dataSet = data.bytes;
        }
        return command;
    }

    void send(const Bytes& bytes) {
        if (!bytes.empty()) socket_.sendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    // The presentation context of the last message taken: the one to
    // answer on.
    uint8_t lastContextId = 0;

    // What each connection brought, and whether the other side closed it
    // (rather than going quiet).
    std::vector<Bytes> received;
    std::vector<bool> closedByOther;

private:
    bool receiveSome() {
        uint8_t buffer[4096];
        const int got = socket_.receiveBytes(buffer, sizeof buffer);
        if (got < 0) {
            // Told apart from a quiet peer: a closed connection is readable at once.
            closed_ = platform::waitReadable(socket_.dataSocket, 0) == 1;
            return false;
        }
        received.back().insert(received.back().end(), buffer, buffer + got);
        return true;
    }

    void run() {
        for (Connection& connection : connections_) {
            if (!listening_ || platform::waitReadable(socket_.listenSocket, 10) != 1 || socket_.acceptOne() != 1) return;
            received.emplace_back();
            taken_ = 0;
            closed_ = false;
            socket_.setTimeout(quietSeconds_);
            send(connection.opening);
            if (connection.script) connection.script(*this);
            while (receiveSome()) {
            }
            closedByOther.push_back(closed_);
            // Closed here, so that acceptOne can take the next connection.
            platform::closeSocket(socket_.dataSocket);
            socket_.dataSocket = 0;
            socket_.connected = 0;
        }
        socket_.closeAll();
    }

    std::vector<Connection> connections_;
    int32_t quietSeconds_;
    SocketStream socket_;
    int listening_ = 0;
    size_t taken_ = 0;
    bool closed_ = false;
    std::thread thread_;
};

#endif
