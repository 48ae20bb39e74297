#ifndef TESTS_SUPPORT_LOOPBACK_H
#define TESTS_SUPPORT_LOOPBACK_H

// TCP on 127.0.0.1 for the interop tests and the network benchmark: a
// listening socket of our own, and the wait until a peer program listens.

#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <string>

#include "ChildProcess.h"
#include "platform/Sockets.h"
#include "stream/SocketStream.h"

inline SocketAddress loopbackAddress(uint16_t port) {
    SocketAddress address = {};
    address.family = 2;
    address.port = platform::hostToNetwork16(port);
    address.address = platform::dottedAddress("127.0.0.1");
    return address;
}

// A socket listening on 127.0.0.1 only, on a free port. Its accept gives up
// after acceptSeconds (the receive time-out applies to accept), so an
// acceptor never waits for ever for a peer that did not come. handle is 0
// when no port could be had.
class LoopbackListener {
public:
    explicit LoopbackListener(int acceptSeconds) {
        for (int attempt = 0; attempt < 5 && handle == 0; ++attempt) {
            const uint16_t candidate = platform::freeLocalPort();
            if (candidate == 0) continue;
            const intptr_t made = platform::openSocket(platform::SocketKind::stream);
            if (made < 0) continue;
            const timeval timeout = {acceptSeconds, 0};
            setsockopt(static_cast<int>(made), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            if (platform::bindSocket(made, loopbackAddress(candidate)) == 0 && platform::listenSocket(made, 5) == 0) {
                handle = made;
                port = std::to_string(candidate);
            } else {
                platform::closeSocket(made);
            }
        }
        acceptSeconds_ = acceptSeconds;
    }
    ~LoopbackListener() {
        if (handle > 0) platform::closeSocket(handle);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // Whether a connection waits to be accepted, within acceptSeconds.
    bool connectionWaiting() const { return platform::waitReadable(handle, acceptSeconds_) == 1; }

    SocketHandle handle = 0;
    std::string port;

private:
    int acceptSeconds_ = 0;
};

// Whether something accepts TCP connections on 127.0.0.1:port. The probe
// connection is closed at once, which a DICOM peer takes as a connection
// that brought no request.
inline bool acceptingOnLoopback(const std::string& port) {
    const intptr_t probe = platform::openSocket(platform::SocketKind::stream);
    if (probe < 0) return false;
    const bool connected =
        platform::connectSocket(probe, loopbackAddress(static_cast<uint16_t>(std::stoi(port)))) == 0;
    platform::closeSocket(probe);
    return connected;
}

// Retries connecting until child accepts on port, waiting between the tries
// for the child to end; false when it ended, or did not listen within
// seconds.
inline bool waitUntilAccepting(ChildProcess& child, const std::string& port, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (acceptingOnLoopback(port)) return true;
        int status = 0;
        if (child.waitForExit(20, status)) return false;
    }
    return false;
}

#endif
