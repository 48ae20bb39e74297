#ifndef TESTS_SUPPORT_SCRIPTEDPEER_H
#define TESTS_SUPPORT_SCRIPTEDPEER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/Sockets.h"
#include "stream/SocketStream.h"

// The far end of a connection on 127.0.0.1, played by a thread: it connects
// to a port (or accepts one connection on it), sends its whole script at once
// and then collects everything the other side sends until that side closes
// the connection or nothing has come for quietSeconds. A peer that finds no
// one to talk to gives up after a bounded number of tries.
class ScriptedPeer {
public:
    enum class Role { connect, accept };

    ScriptedPeer(Role role, uint16_t port, std::vector<uint8_t> script, int32_t quietSeconds = 5)
        : role_(role), port_(port), script_(std::move(script)), quietSeconds_(quietSeconds) {
        if (role_ == Role::accept) {
            // Listening before the thread starts, so the other side can connect at once.
            listening_ = socket_.listenOn(std::to_string(port_).c_str());
        }
        thread_ = std::thread([this] { run(); });
    }

    ~ScriptedPeer() { finish(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Waits until the peer is done; then received and closedByOther hold.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<uint8_t> received;
    // The other side closed the connection (rather than going quiet).
    bool closedByOther = false;
    std::atomic<bool> connected{false};

private:
    void run() {
        if (role_ == Role::connect) {
            const std::string port = std::to_string(port_);
            for (int attempt = 0; attempt < 200 && !connected; ++attempt) {
                connected = socket_.connectTo("127.0.0.1", port.c_str()) == 1;
                if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else {
            connected = listening_ && platform::waitReadable(socket_.listenSocket, 10) == 1 && socket_.acceptOne() == 1;
        }
        if (!connected) return;
        if (!script_.empty()) socket_.sendBytes(script_.data(), static_cast<uint32_t>(script_.size()));
        socket_.setTimeout(quietSeconds_);
        uint8_t buffer[4096];
        for (;;) {
            const int got = socket_.receiveBytes(buffer, sizeof buffer);
            if (got < 0) {
                // Told apart from a quiet peer: a closed connection is readable at once.
                closedByOther = platform::waitReadable(socket_.dataSocket, 0) == 1;
                break;
            }
            received.insert(received.end(), buffer, buffer + got);
        }
        socket_.closeAll();
    }

    Role role_;
    uint16_t port_;
    std::vector<uint8_t> script_;
    int32_t quietSeconds_;
    SocketStream socket_;
    int listening_ = 0;
    std::thread thread_;
};

#endif
