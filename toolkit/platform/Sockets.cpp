#include "Sockets.h"

#include <climits>
#include <cstddef>
#include <cstring>

#include "stream/SocketStream.h"

#ifdef _WIN32
#include <winsock.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// The toolkit's address record is the system's IPv4 address record, field by field.
static_assert(AF_INET == 2, "IPv4 is address family 2 on every supported system");
static_assert(sizeof(SocketAddress) == sizeof(sockaddr_in), "SocketAddress mirrors sockaddr_in");
static_assert(offsetof(SocketAddress, port) == offsetof(sockaddr_in, sin_port), "port field");
static_assert(offsetof(SocketAddress, address) == offsetof(sockaddr_in, sin_addr), "address field");

namespace platform {

namespace {

#ifdef _WIN32
using SystemSocket = SOCKET;
using AddressLength = int;
#else
using SystemSocket = int;
using AddressLength = socklen_t;
#endif

sockaddr_in toSystemAddress(const SocketAddress& address) {
    sockaddr_in system;
    std::memset(&system, 0, sizeof system);
    system.sin_family = AF_INET;
    system.sin_port = address.port;
    system.sin_addr.s_addr = address.address;
    return system;
}

void fromSystemAddress(const sockaddr_in& system, SocketAddress& address) {
    address.family = static_cast<uint16_t>(system.sin_family);
    address.port = system.sin_port;
    address.address = static_cast<uint32_t>(system.sin_addr.s_addr);
    std::memset(address.zero, 0, sizeof address.zero);
}

}  // namespace

#ifdef _WIN32

int startSockets() {
    WSADATA details;
    return WSAStartup(MAKEWORD(1, 1), &details);
}

void stopSockets() { WSACleanup(); }

intptr_t openSocket(SocketKind kind) {
    SOCKET made = kind == SocketKind::stream ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                                             : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    // INVALID_SOCKET (all ones) becomes -1.
    return made == INVALID_SOCKET ? -1 : static_cast<intptr_t>(made);
}

void closeSocket(intptr_t socket) { closesocket(static_cast<SOCKET>(socket)); }

intptr_t acceptSocket(intptr_t listening, SocketAddress& peer) {
    sockaddr_in system;
    std::memset(&system, 0, sizeof system);
    int length = sizeof system;
    SOCKET made = accept(static_cast<SOCKET>(listening), reinterpret_cast<sockaddr*>(&system), &length);
    if (made == INVALID_SOCKET) return -1;
    fromSystemAddress(system, peer);
    return static_cast<intptr_t>(made);
}

int sendSome(intptr_t socket, const uint8_t* bytes, int count) {
    int sent = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(bytes), count, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int receiveSome(intptr_t socket, uint8_t* buffer, int size) {
    int received = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer), size, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

int setNoDelay(intptr_t socket) {
    BOOL on = TRUE;
    int result = setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                            sizeof on);
    return result == SOCKET_ERROR ? -1 : 0;
}

void shutdownSocket(intptr_t socket) { shutdown(static_cast<SOCKET>(socket), 2); }

int waitReadable(intptr_t socket, int32_t seconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval limit;
    limit.tv_sec = seconds > 0 ? seconds : 0;
    limit.tv_usec = 0;
    // The first argument is ignored by Windows Sockets.
    int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR) return -1;
    return ready > 0 ? 1 : 0;
}

int lastSocketError() { return WSAGetLastError(); }

#else

namespace {

// Descriptor 0 is "no socket" to the toolkit. When standard input is closed
// the system may hand out 0 for a new socket; move it to a higher descriptor.
int avoidDescriptorZero(int descriptor) {
    if (descriptor != 0) return descriptor;
    int moved = fcntl(0, F_DUPFD, 1);
    close(0);
    return moved;
}

}  // namespace

int startSockets() { return 0; }

void stopSockets() {}

intptr_t openSocket(SocketKind kind) {
    int made = kind == SocketKind::stream ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                                          : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (made < 0) return -1;
    if (kind == SocketKind::stream) {
        // A server that closed its end of a connection listens again on the
        // same port at once instead of waiting for the closed connection's
        // TIME_WAIT to pass. An active listener still keeps the port to itself.
        const int on = 1;
        setsockopt(made, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return avoidDescriptorZero(made);
}

void closeSocket(intptr_t socket) { close(static_cast<int>(socket)); }

intptr_t acceptSocket(intptr_t listening, SocketAddress& peer) {
    sockaddr_in system;
    std::memset(&system, 0, sizeof system);
    socklen_t length = sizeof system;
    int made;
    do {
        made = accept(static_cast<int>(listening), reinterpret_cast<sockaddr*>(&system), &length);
    } while (made < 0 && errno == EINTR);
    if (made < 0) return -1;
    fromSystemAddress(system, peer);
    return avoidDescriptorZero(made);
}

int sendSome(intptr_t socket, const uint8_t* bytes, int count) {
    ssize_t sent;
    do {
        sent = send(static_cast<int>(socket), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int receiveSome(intptr_t socket, uint8_t* buffer, int size) {
    ssize_t received;
    do {
        received = recv(static_cast<int>(socket), buffer, static_cast<size_t>(size), 0);
    } while (received < 0 && errno == EINTR);
    return received < 0 ? -1 : static_cast<int>(received);
}

void shutdownSocket(intptr_t socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

int setNoDelay(intptr_t socket) {
    const int on = 1;
    return setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : -1;
}

// poll rather than select: select cannot watch a descriptor of 1024 or more.
int waitReadable(intptr_t socket, int32_t seconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    pollfd watched;
    watched.fd = static_cast<int>(socket);
    watched.events = POLLIN;
    for (;;) {
        watched.revents = 0;
        long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        if (left > INT_MAX) left = INT_MAX;
        int ready = poll(&watched, 1, static_cast<int>(left));
        if (ready > 0) return 1;  // input, or a closed or failed connection that recv reports
        if (ready == 0) {
            if (Clock::now() >= deadline) return 0;
            continue;  // a wait longer than poll can take in one call
        }
        if (errno != EINTR) return -1;
    }
}

int lastSocketError() { return errno; }

#endif

int bindSocket(intptr_t socket, const SocketAddress& local) {
    sockaddr_in system = toSystemAddress(local);
    return bind(static_cast<SystemSocket>(socket), reinterpret_cast<sockaddr*>(&system), sizeof system) == 0 ? 0 : -1;
}

int listenSocket(intptr_t socket, int backlog) {
    return listen(static_cast<SystemSocket>(socket), backlog) == 0 ? 0 : -1;
}

int connectSocket(intptr_t socket, const SocketAddress& peer) {
    sockaddr_in system = toSystemAddress(peer);
    return connect(static_cast<SystemSocket>(socket), reinterpret_cast<sockaddr*>(&system), sizeof system) == 0 ? 0
                                                                                                              : -1;
}

int findHost(const char* name, HostEntry& copy) {
    const hostent* found = gethostbyname(name);
    if (found == nullptr) return 0;
    copy.name = found->h_name;
    copy.aliases = found->h_aliases;
    copy.addressType = static_cast<int16_t>(found->h_addrtype);
    copy.addressLength = static_cast<int16_t>(found->h_length);
    copy.addressList = found->h_addr_list;
    return 1;
}

int findService(const char* name, const char* protocol, ServiceEntry& copy) {
    const servent* found = getservbyname(name, protocol);
    if (found == nullptr) return 0;
    copy.name = found->s_name;
    copy.aliases = found->s_aliases;
    // The port is in network order in the low 16 bits.
    copy.port = static_cast<int16_t>(static_cast<uint16_t>(found->s_port));
    copy.protocol = found->s_proto;
    return 1;
}

uint32_t dottedAddress(const char* text) { return static_cast<uint32_t>(inet_addr(text)); }

uint16_t hostToNetwork16(uint16_t value) { return htons(value); }

uint16_t networkToHost16(uint16_t value) { return ntohs(value); }

uint16_t freeLocalPort() {
    if (startSockets() != 0) return 0;
    uint16_t port = 0;
    intptr_t probe = openSocket(SocketKind::stream);
    if (probe >= 0) {
        SocketAddress local = {};
        local.family = AF_INET;
        local.address = dottedAddress("127.0.0.1");
        sockaddr_in bound;
        std::memset(&bound, 0, sizeof bound);
        AddressLength length = sizeof bound;
        if (bindSocket(probe, local) == 0 &&
            getsockname(static_cast<SystemSocket>(probe), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
            port = ntohs(bound.sin_port);
        }
        closeSocket(probe);
    }
    stopSockets();
    return port;
}

}  // namespace platform
