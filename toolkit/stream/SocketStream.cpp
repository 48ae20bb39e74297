#include "SocketStream.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "../platform/Sockets.h"

std::atomic<uint16_t> winsockUsers{0};

namespace {

// Guards winsockUsers together with the library start and stop it decides.
std::mutex& socketLibraryGuard() {
    static std::mutex guard;
    return guard;
}

constexpr uint16_t internetFamily = 2;  // IPv4
// Connections that arrive faster than the server accepts them wait in the
// queue rather than for the peer to try again a second later.
constexpr int listenBacklog = 128;
constexpr size_t longestHostText = 139;
constexpr int spinMicroseconds = 50;

platform::SocketKind kindOf(int datagramSocket) {
    return datagramSocket ? platform::SocketKind::datagram : platform::SocketKind::stream;
}

// The text's leading decimal number: optional white space and sign, then the
// digits up to the first other character ("10.1.2.3" gives 10, "www" 0).
long leadingNumber(const char* text) { return std::strtol(text, nullptr, 10); }

bool longerThan(const char* text, size_t limit) {
    for (size_t index = 0; index <= limit; ++index) {
        if (text[index] == '\0') return false;
    }
    return true;
}

int largestPiece(uint32_t count) { return count > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(count); }

SocketAddress internetAddress(int16_t port, uint32_t address) {
    SocketAddress made = {};
    made.family = internetFamily;
    made.port = static_cast<uint16_t>(port);
    made.address = address;
    return made;
}

}  // namespace

SocketStream::SocketStream() {
    std::lock_guard<std::mutex> lock(socketLibraryGuard());
    if (winsockUsers == 0) {
        lastError = platform::startSockets();
        // Without the socket library the object holds no socket and every
        // operation that needs one fails.
        if (lastError != 0) return;
    }
    ++winsockUsers;
    countedUser = 1;
}

SocketStream::~SocketStream() {
    closeAll();
    delete[] received;
    if (!countedUser) return;
    std::lock_guard<std::mutex> lock(socketLibraryGuard());
    --winsockUsers;
    if (winsockUsers == 0) platform::stopSockets();
}

void SocketStream::closeDataSocket() {
    if (dataSocket != 0) platform::closeSocket(dataSocket);
    dataSocket = 0;
    receivedStart = receivedEnd = 0;
}

int SocketStream::takeReceived(uint8_t* buffer, uint32_t size) {
    const uint32_t held = receivedEnd - receivedStart;
    const uint32_t count = held < size ? held : size;
    std::memcpy(buffer, received + receivedStart, count);
    receivedStart += count;
    return static_cast<int>(count);
}

HostEntry* SocketStream::resolveHost(const char* hostText) {
    if (hostText == nullptr || longerThan(hostText, longestHostText)) return nullptr;
    // A dotted address needs no name service, which could take long to say so.
    if (leadingNumber(hostText) == 0 && platform::findHost(hostText, host)) return &host;
    hostAddress = platform::dottedAddress(hostText);
    hostAddressList[0] = reinterpret_cast<char*>(&hostAddress);
    hostAddressList[1] = nullptr;
    host.name = nullptr;
    host.aliases = nullptr;
    host.addressType = internetFamily;
    host.addressLength = sizeof hostAddress;
    host.addressList = hostAddressList;
    return &host;
}

ServiceEntry* SocketStream::resolvePort(const char* portText, const char* protocol) {
    if (portText == nullptr) return nullptr;
    const uint16_t number = static_cast<uint16_t>(leadingNumber(portText));
    if (number != 0) {
        service.name = nullptr;
        service.aliases = nullptr;
        service.port = static_cast<int16_t>(platform::hostToNetwork16(number));
        service.protocol = nullptr;
        return &service;
    }
    return platform::findService(portText, protocol, service) ? &service : nullptr;
}

// A socket bound to the port of portText on every local interface, with
// address set to that local address; -1 on failure (lastError then holds the
// system's code when bind failed).
intptr_t SocketStream::openBound(const char* portText, int datagramSocket) {
    const ServiceEntry* port = resolvePort(portText, nullptr);
    if (port == nullptr) return -1;
    const intptr_t made = platform::openSocket(kindOf(datagramSocket));
    if (made < 0) return -1;
    address = internetAddress(port->port, 0);
    if (platform::bindSocket(made, address) != 0) {
        lastError = platform::lastSocketError();
        platform::closeSocket(made);
        return -1;
    }
    return made;
}

int SocketStream::listenOn(const char* portText) {
    connected = 0;
    listening = 0;
    datagram = 0;
    closeDataSocket();
    // A listening socket still held here would keep the port taken.
    if (listenSocket != 0) platform::closeSocket(listenSocket);
    listenSocket = 0;

    const intptr_t made = openBound(portText, 0);
    if (made < 0) return 0;
    if (platform::listenSocket(made, listenBacklog) != 0) {
        platform::closeSocket(made);
        return 0;
    }
    listenSocket = made;
    listening = 1;
    return 1;
}

int SocketStream::acceptOne() {
    if (!listening || listenSocket == 0) return 0;
    const intptr_t made = platform::acceptSocket(listenSocket, address);
    if (made > 0) {
        dataSocket = made;
        receivedStart = receivedEnd = 0;
        connected = 1;
        sendFailed = 0;
        setNoDelay();
        return 1;
    }
    platform::closeSocket(listenSocket);
    listening = 0;
    listenSocket = 0;
    dataSocket = 0;
    connected = 0;
    return 0;
}

int SocketStream::openConnected(const HostEntry& peerHost, const ServiceEntry& peerPort, int datagramSocket) {
    if (peerHost.addressList == nullptr || peerHost.addressList[0] == nullptr ||
        peerHost.addressType != internetFamily || peerHost.addressLength != sizeof(uint32_t)) {
        return 0;
    }
    const intptr_t made = platform::openSocket(kindOf(datagramSocket));
    if (made < 0) return 0;
    dataSocket = made;
    receivedStart = receivedEnd = 0;
    uint32_t peer;
    std::memcpy(&peer, peerHost.addressList[0], sizeof peer);
    address = internetAddress(peerPort.port, peer);
    lastError = platform::connectSocket(made, address);
    if (lastError != 0) {
        closeDataSocket();
        return 0;
    }
    connected = 1;
    sendFailed = 0;
    datagram = datagramSocket ? 1 : 0;
    if (!datagramSocket) setNoDelay();
    return 1;
}

int SocketStream::connectTo(const char* hostText, const char* portText) {
    closeDataSocket();
    connected = 0;
    const HostEntry* peerHost = resolveHost(hostText);
    if (peerHost == nullptr) return 0;
    const ServiceEntry* peerPort = resolvePort(portText, nullptr);
    if (peerPort == nullptr) return 0;
    return openConnected(*peerHost, *peerPort, 0);
}

int SocketStream::closeAll() {
    if (listenSocket != 0) platform::closeSocket(listenSocket);
    listenSocket = 0;
    closeDataSocket();
    connected = 0;
    listening = 0;
    datagram = 0;
    return 1;
}

int SocketStream::sendBytes(const uint8_t* bytes, uint32_t count) {
    if (!connected) return 0;
    while (count > 0) {
        const int sent = platform::sendSome(dataSocket, bytes, largestPiece(count));
        if (sent <= 0) {
            // The caller carries on; its next receive meets the broken connection.
            std::printf("SOCKET END ERROR: %d\n", lastError);
            sendFailed = 1;
            break;
        }
        bytes += sent;
        count -= static_cast<uint32_t>(sent);
    }
    return 1;
}

int SocketStream::receiveBytes(uint8_t* buffer, uint32_t size) {
    // Not 0: a reading stream would ask again without end.
    if (!connected) return -1;
    // Bytes kept from another socket (one handed over in dataSocket) are not
    // this one's.
    if (receivedFrom != dataSocket) {
        receivedStart = receivedEnd = 0;
        receivedFrom = dataSocket;
    }
    if (receivedEnd != receivedStart && size != 0) return takeReceived(buffer, size);
    // An answer often comes within microseconds: looking for it a little
    // while before sleeping saves the wake-up, which costs far more.
    // The processor is given up at each look, so that a peer waiting to run
    // on the same processor is not held up.
    int ready = 0;
    if (timeoutSeconds > 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spinMicroseconds);
        for (;;) {
            ready = platform::waitReadable(dataSocket, 0);
            if (ready != 0 || std::chrono::steady_clock::now() >= until) break;
            std::this_thread::yield();
        }
    }
    if (ready == 0) ready = platform::waitReadable(dataSocket, timeoutSeconds);
    if (ready < 0) return -1;
    // With a time-out of 0 the caller polls: nothing yet, ask again.
    if (ready == 0) return timeoutSeconds != 0 ? -1 : 0;
    // A datagram is read whole by one receive; a large request needs no help.
    if (datagram || size >= receiveBlock) {
        const int got = platform::receiveSome(dataSocket, buffer, largestPiece(size));
        // 0 bytes from a readable socket: the peer closed the connection.
        return got == 0 ? -1 : got;
    }
    if (received == nullptr) {
        received = new (std::nothrow) uint8_t[receiveBlock];
        if (received == nullptr) {
            const int got = platform::receiveSome(dataSocket, buffer, largestPiece(size));
            return got == 0 ? -1 : got;
        }
    }
    const int got = platform::receiveSome(dataSocket, received, static_cast<int>(receiveBlock));
    if (got <= 0) return -1;
    receivedStart = 0;
    receivedEnd = static_cast<uint32_t>(got);
    return takeReceived(buffer, size);
}

int SocketStream::lastSocketError() { return platform::lastSocketError(); }

int SocketStream::setNoDelay() { return dataSocket != 0 && platform::setNoDelay(dataSocket) == 0 ? 1 : 0; }

int SocketStream::setTimeout(int32_t seconds) {
    timeoutSeconds = seconds;
    return 1;
}

int SocketStream::bindDatagram(const char* portText) {
    closeAll();
    const intptr_t made = openBound(portText, 1);
    if (made < 0) return 0;
    dataSocket = made;
    connected = 1;
    datagram = 1;
    return 1;
}

int SocketStream::connectDatagram(const char* hostText, const char* portText) {
    closeAll();
    const HostEntry* peerHost = resolveHost(hostText);
    if (peerHost == nullptr) return 0;
    const ServiceEntry* peerPort = resolvePort(portText, nullptr);
    if (peerPort == nullptr) {
        std::fprintf(stderr, "Could not resolve port\n");
        return 0;
    }
    return openConnected(*peerHost, *peerPort, 1);
}
