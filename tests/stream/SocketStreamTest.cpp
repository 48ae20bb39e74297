#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Sockets.h"
#include "stream/SocketStream.h"

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// Every connection of these tests runs over 127.0.0.1.

namespace {

using Clock = std::chrono::steady_clock;

// A port number (as text) that nothing listens on: the system chose it for a
// socket that is closed again.
std::string freePortText() {
    const uint16_t port = platform::freeLocalPort();
    EXPECT_NE(port, 0) << "no free local port";
    return std::to_string(port);
}

uint16_t networkPort(uint16_t port) { return platform::hostToNetwork16(port); }

uint32_t addressOf(const HostEntry& host) {
    uint32_t address;
    std::memcpy(&address, host.addressList[0], sizeof address);
    return address;
}

uint32_t dotted(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};  // network order
    uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

// server listens on a free port, client connects to it, server accepts.
void connectPair(SocketStream& server, SocketStream& client, std::string* portText = nullptr) {
    const std::string port = freePortText();
    ASSERT_EQ(server.listenOn(port.c_str()), 1);
    ASSERT_EQ(client.connectTo("127.0.0.1", port.c_str()), 1);
    ASSERT_EQ(server.acceptOne(), 1);
    if (portText != nullptr) *portText = port;
}

int sendText(SocketStream& stream, const std::string& text) {
    return stream.sendBytes(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

// Receives until count bytes arrived or a receive fails.
std::string receiveText(SocketStream& stream, size_t count) {
    std::string text;
    uint8_t piece[256];
    while (text.size() < count) {
        const uint32_t wanted = static_cast<uint32_t>(std::min(sizeof piece, count - text.size()));
        const int received = stream.receiveBytes(piece, wanted);
        if (received <= 0) break;
        text.append(reinterpret_cast<const char*>(piece), static_cast<size_t>(received));
    }
    return text;
}

// A host text on which the name service gives up without asking the network:
// a label of 64 characters is longer than a DNS label may be.
std::string unresolvableName() { return std::string(64, 'x') + ".invalid"; }

}  // namespace

TEST(SocketStream, CountsLiveObjectsAndStartsUnconnected) {
    const uint16_t before = winsockUsers;
    {
        SocketStream first;
        EXPECT_EQ(winsockUsers, before + 1);
        EXPECT_EQ(first.lastError, 0);
        EXPECT_EQ(first.timeoutSeconds, 300);
        EXPECT_EQ(first.dataSocket, 0);
        EXPECT_EQ(first.listenSocket, 0);
        EXPECT_EQ(first.connected, 0);
        EXPECT_EQ(first.listening, 0);
        EXPECT_EQ(first.datagram, 0);
        {
            SocketStream second;
            EXPECT_EQ(winsockUsers, before + 2);
        }
        EXPECT_EQ(winsockUsers, before + 1);
        // The library is still usable by the remaining object.
        SocketStream server;
        std::string port;
        ASSERT_NO_FATAL_FAILURE(connectPair(server, first, &port));
    }
    EXPECT_EQ(winsockUsers, before);
}

TEST(SocketStream, TakesPortTextsWithALeadingNumberAsThePortItself) {
    struct Case {
        const char* text;
        uint16_t port;
    };
    const Case cases[] = {
        {"104", 104},
        {"11112", 11112},
        {" +42abc", 42},     // leading white space, sign, digits up to the first other character
        {"70000", 4464},     // cut to 16 bits
        {"65535", 65535},
    };
    SocketStream stream;
    for (const Case& item : cases) {
        SCOPED_TRACE(item.text);
        const ServiceEntry* service = stream.resolvePort(item.text, nullptr);
        ASSERT_EQ(service, &stream.service);
        EXPECT_EQ(static_cast<uint16_t>(service->port), networkPort(item.port));
        // No lookup was made: nothing but the port is filled in.
        EXPECT_EQ(service->name, nullptr);
        EXPECT_EQ(service->protocol, nullptr);
    }
}

TEST(SocketStream, GivesNullForPortTextsThatNameNoService) {
    // "0" and "65536" (0 in 16 bits) have no leading port number and go to the
    // service database, which holds no such names.
    SocketStream stream;
    for (const char* text : {"0", "65536", "no-such-service-here", ""}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(stream.resolvePort(text, nullptr), nullptr);
    }
}

TEST(SocketStream, LooksUpServiceNamesInTheServiceDatabase) {
#ifndef _WIN32
    // A minimal machine may have no service database at all.
    std::ifstream services("/etc/services");
    std::string line;
    bool listed = false;
    while (std::getline(services, line)) {
        std::istringstream fields(line);
        std::string name, portAndProtocol;
        fields >> name >> portAndProtocol;
        if (name == "http" && portAndProtocol == "80/tcp") listed = true;
    }
    if (!listed) GTEST_SKIP() << "/etc/services does not list http 80/tcp";
#endif
    SocketStream stream;
    const ServiceEntry* service = stream.resolvePort("http", nullptr);
#ifdef _WIN32
    if (service == nullptr) GTEST_SKIP() << "the service database does not list http";
#endif
    ASSERT_EQ(service, &stream.service);
    EXPECT_EQ(static_cast<uint16_t>(service->port), networkPort(80));
    ASSERT_NE(service->name, nullptr);
    EXPECT_STREQ(service->name, "http");
}

TEST(SocketStream, ConvertsTextsWithALeadingNumberWithoutANameLookup) {
    struct Case {
        const char* text;
        uint32_t address;
    };
    const Case cases[] = {
        {"127.0.0.1", dotted(127, 0, 0, 1)},
        {"10.1.2.3", dotted(10, 1, 2, 3)},
        {"1no.such.host", 0xFFFFFFFFu},  // leading 1: converted, not looked up, and no address
    };
    SocketStream stream;
    for (const Case& item : cases) {
        SCOPED_TRACE(item.text);
        const HostEntry* host = stream.resolveHost(item.text);
        ASSERT_EQ(host, &stream.host);
        EXPECT_EQ(host->name, nullptr);  // no lookup
        EXPECT_EQ(host->addressType, 2);
        EXPECT_EQ(host->addressLength, 4);
        ASSERT_NE(host->addressList, nullptr);
        ASSERT_NE(host->addressList[0], nullptr);
        EXPECT_EQ(addressOf(*host), item.address);
        EXPECT_EQ(host->addressList[1], nullptr);
    }
}

TEST(SocketStream, LooksUpHostNames) {
    SocketStream stream;
    const HostEntry* host = stream.resolveHost("localhost");
    ASSERT_EQ(host, &stream.host);
    EXPECT_NE(host->name, nullptr);
    EXPECT_EQ(host->addressLength, 4);
    ASSERT_NE(host->addressList, nullptr);
    ASSERT_NE(host->addressList[0], nullptr);
    EXPECT_EQ(static_cast<uint8_t>(host->addressList[0][0]), 127);
}

TEST(SocketStream, UnresolvableNameGivesTheAllOnesAddressAndTheConnectFails) {
    const std::string name = unresolvableName();
    SocketStream stream;
    const HostEntry* host = stream.resolveHost(name.c_str());
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(addressOf(*host), 0xFFFFFFFFu);

    const std::string port = freePortText();
    EXPECT_EQ(stream.connectTo(name.c_str(), port.c_str()), 0);
    EXPECT_EQ(stream.lastError, -1);
    EXPECT_EQ(stream.connected, 0);
    EXPECT_EQ(stream.dataSocket, 0);
}

TEST(SocketStream, RefusesHostTextsLongerThan139Characters) {
    // A leading digit keeps the accepted text away from the name service.
    const std::string longest = "1" + std::string(138, 'x');
    SocketStream stream;
    EXPECT_NE(stream.resolveHost(longest.c_str()), nullptr);
    // Cut to 139 characters, the refused texts below would reach this listener.
    const std::string port = freePortText();
    SocketStream server;
    ASSERT_EQ(server.listenOn(port.c_str()), 1);
    for (size_t length : {140, 200}) {
        SCOPED_TRACE(length);
        const std::string text = "127.0.0.1" + std::string(length - 9, ' ');
        EXPECT_EQ(stream.resolveHost(text.c_str()), nullptr);
        EXPECT_EQ(stream.connectTo(text.c_str(), port.c_str()), 0);
        EXPECT_EQ(stream.connectDatagram(text.c_str(), port.c_str()), 0);
        EXPECT_EQ(stream.connected, 0);
        EXPECT_EQ(stream.dataSocket, 0);
    }
}

TEST(SocketStream, RefusedConnectionGivesZeroAndLastErrorMinusOneSilently) {
    const std::string port = freePortText();  // nothing listens there
    SocketStream stream;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(stream.connectTo("127.0.0.1", port.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(stream.lastError, -1);
    EXPECT_EQ(stream.connected, 0);
    EXPECT_EQ(stream.dataSocket, 0);
}

TEST(SocketStream, UnknownPortTextFailsEveryOpeningOperation) {
    SocketStream stream;
    // Port 0 is not a port number but a service name, which does not exist.
    for (const char* port : {"0", "no-such-service-here"}) {
        SCOPED_TRACE(port);
        testing::internal::CaptureStderr();
        EXPECT_EQ(stream.listenOn(port), 0);
        EXPECT_EQ(stream.connectTo("127.0.0.1", port), 0);
        EXPECT_EQ(stream.bindDatagram(port), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        testing::internal::CaptureStderr();
        EXPECT_EQ(stream.connectDatagram("127.0.0.1", port), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not resolve port\n");
        EXPECT_EQ(stream.listening, 0);
        EXPECT_EQ(stream.connected, 0);
        EXPECT_EQ(stream.listenSocket, 0);
        EXPECT_EQ(stream.dataSocket, 0);
    }
}

TEST(SocketStream, ListensAcceptsAndExchangesBytesBothWays) {
    const std::string port = freePortText();
    SocketStream server;
    SocketStream client;
    ASSERT_EQ(server.listenOn(port.c_str()), 1);
    EXPECT_EQ(server.listening, 1);
    EXPECT_NE(server.listenSocket, 0);
    EXPECT_EQ(server.dataSocket, 0);
    EXPECT_EQ(server.connected, 0);
    EXPECT_EQ(server.address.family, 2);
    EXPECT_EQ(server.address.port, networkPort(static_cast<uint16_t>(std::stoi(port))));
    EXPECT_EQ(server.address.address, 0u);  // every local interface

    ASSERT_EQ(client.connectTo("127.0.0.1", port.c_str()), 1);
    EXPECT_EQ(client.lastError, 0);
    EXPECT_EQ(client.connected, 1);
    EXPECT_GT(client.dataSocket, 0);
    EXPECT_EQ(client.address.family, 2);
    EXPECT_EQ(client.address.port, networkPort(static_cast<uint16_t>(std::stoi(port))));
    EXPECT_EQ(client.address.address, dotted(127, 0, 0, 1));

    const SocketHandle listening = server.listenSocket;
    ASSERT_EQ(server.acceptOne(), 1);
    EXPECT_EQ(server.connected, 1);
    EXPECT_GT(server.dataSocket, 0);
    EXPECT_EQ(server.listenSocket, listening);
    EXPECT_EQ(server.listening, 1);
    EXPECT_EQ(server.address.family, 2);  // now the peer's address
    EXPECT_EQ(server.address.address, dotted(127, 0, 0, 1));

    EXPECT_EQ(sendText(client, "A-ASSOCIATE"), 1);
    EXPECT_EQ(receiveText(server, 11), "A-ASSOCIATE");
    EXPECT_EQ(sendText(server, "accepted"), 1);
    EXPECT_EQ(receiveText(client, 8), "accepted");
}

#ifndef _WIN32
TEST(SocketStream, WorksInAProcessWithoutStandardInput) {
    // A server run as a service may start with descriptor 0 closed; the
    // system then hands out 0 for a new socket, which the toolkit keeps for
    // "no socket". A child process without it listens, connects, accepts
    // and exchanges bytes, and says by its exit status which step failed.
    const std::string port = freePortText();
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);  // a child that hangs ends itself
        close(0);
        int step = 0;
        {
            SocketStream server;
            SocketStream client;
            if (server.listenOn(port.c_str()) != 1 || server.listenSocket == 0) {
                step = 1;
            } else if (client.connectTo("127.0.0.1", port.c_str()) != 1 || client.dataSocket == 0) {
                step = 2;
            } else if (server.acceptOne() != 1 || server.dataSocket == 0) {
                step = 3;
            } else if (sendText(client, "echo") != 1 || receiveText(server, 4) != "echo") {
                step = 4;
            }
        }
        _exit(step);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step: 1 listen, 2 connect, 3 accept, 4 exchange";
}
#endif

TEST(SocketStream, ServesTwoConnectionsInTurnFromOneListeningSocket) {
    std::string port;
    SocketStream server;
    SocketStream first;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, first, &port));
    const SocketHandle listening = server.listenSocket;
    EXPECT_EQ(sendText(first, "one"), 1);
    EXPECT_EQ(receiveText(server, 3), "one");
    // The caller takes the first connection out before accepting the next.
    platform::closeSocket(server.dataSocket);
    server.dataSocket = 0;
    uint8_t byte;
    EXPECT_EQ(first.receiveBytes(&byte, 1), -1);  // the server end has gone

    SocketStream second;
    ASSERT_EQ(second.connectTo("127.0.0.1", port.c_str()), 1);
    ASSERT_EQ(server.acceptOne(), 1);
    EXPECT_EQ(server.listenSocket, listening);
    EXPECT_EQ(server.listening, 1);
    EXPECT_EQ(sendText(second, "two"), 1);
    EXPECT_EQ(receiveText(server, 3), "two");
    EXPECT_EQ(sendText(server, "back"), 1);
    EXPECT_EQ(receiveText(second, 4), "back");
}

TEST(SocketStream, ReportsAConnectionClosedByThePeerAsFailure) {
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    EXPECT_EQ(sendText(client, "last"), 1);
    EXPECT_EQ(client.closeAll(), 1);
    // What was sent before the close still arrives; then the end shows.
    EXPECT_EQ(receiveText(server, 4), "last");
    uint8_t byte;
    EXPECT_EQ(server.receiveBytes(&byte, 1), -1);
}

TEST(SocketStream, ReceiveGivesMinusOneWhenNothingArrivesWithinTheTimeout) {
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    EXPECT_EQ(server.setTimeout(1), 1);
    uint8_t buffer[16];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(server.receiveBytes(buffer, sizeof buffer), -1);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(waited.count(), 900);
    EXPECT_LT(waited.count(), 10000);
    EXPECT_EQ(server.connected, 1);  // a time-out does not close the connection
}

TEST(SocketStream, ZeroTimeoutPollsReturningZeroAtOnceUntilBytesArrive) {
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    EXPECT_EQ(server.setTimeout(0), 1);
    uint8_t buffer[16];
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(server.receiveBytes(buffer, sizeof buffer), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 500);

    EXPECT_EQ(sendText(client, "data"), 1);
    // The caller asks again until the bytes are there.
    int received = 0;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
    while (received == 0 && Clock::now() < giveUp) received = server.receiveBytes(buffer, sizeof buffer);
    ASSERT_EQ(received, 4);
    EXPECT_EQ(std::memcmp(buffer, "data", 4), 0);
}

TEST(SocketStream, UnconnectedObjectSendsNothingSilentlyAndFailsToReceive) {
    SocketStream stream;
    const uint8_t bytes[3] = {1, 2, 3};
    uint8_t buffer[3];
    testing::internal::CaptureStdout();
    EXPECT_EQ(stream.sendBytes(bytes, sizeof bytes), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // Failure, not "nothing yet": a reading stream must not ask again forever.
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(stream.receiveBytes(buffer, sizeof buffer), -1);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 500);
}

TEST(SocketStream, SendOnABrokenConnectionPrintsTheErrorAndCarriesOn) {
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    // Closing with unread input resets the connection at once.
    EXPECT_EQ(sendText(client, "unread"), 1);
    EXPECT_EQ(server.closeAll(), 1);
    uint8_t byte;
    EXPECT_EQ(client.receiveBytes(&byte, 1), -1);

    // On Linux this send would raise SIGPIPE and end the process if the
    // socket layer let it.
    testing::internal::CaptureStdout();
    const int result = sendText(client, "more");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed, "SOCKET END ERROR: 0\n");  // lastError still holds the connect's result
    EXPECT_EQ(client.connected, 1);
}

#ifndef _WIN32
namespace {

void ignoreSignal(int) {}

// Makes SIGUSR1 interrupt blocking calls (no SA_RESTART) while it lives: a
// send interrupted after some bytes went out returns the partial count.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = ignoreSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &previous, nullptr); }

private:
    struct sigaction previous {};
};

// Small socket buffers, so that the sender blocks again and again (loopback
// buffers would otherwise take megabytes in one call).
void shrinkSocketBuffers(SocketHandle sending, SocketHandle receiving) {
    const int size = 16 * 1024;
    ASSERT_EQ(setsockopt(static_cast<int>(sending), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    ASSERT_EQ(setsockopt(static_cast<int>(receiving), SOL_SOCKET, SO_RCVBUF, &size, sizeof size), 0);
}

}  // namespace
#endif

TEST(SocketStream, SendsALargeBufferWholeWhileThePeerReadsConcurrently) {
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    server.setTimeout(60);
    std::vector<uint8_t> sent(4u << 20);
    for (size_t index = 0; index < sent.size(); ++index) sent[index] = static_cast<uint8_t>(index * 7 + (index >> 16));
    std::vector<uint8_t> received;
    received.reserve(sent.size());

#ifndef _WIN32
    // The reader keeps interrupting the blocked sender, so that send returns
    // partial counts that sendBytes must follow up.
    ASSERT_NO_FATAL_FAILURE(shrinkSocketBuffers(client.dataSocket, server.dataSocket));
    InterruptingSignal interrupting;
    const pthread_t sender = pthread_self();
#endif
    std::thread reader([&] {
        std::vector<uint8_t> piece(65536);
        while (received.size() < sent.size()) {
#ifndef _WIN32
            pthread_kill(sender, SIGUSR1);
#endif
            const int count = server.receiveBytes(piece.data(), static_cast<uint32_t>(piece.size()));
            if (count <= 0) break;
            received.insert(received.end(), piece.begin(), piece.begin() + count);
        }
    });
    testing::internal::CaptureStdout();
    const int result = client.sendBytes(sent.data(), static_cast<uint32_t>(sent.size()));
    // Ends the reader should bytes be missing.
    client.closeAll();
    reader.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result, 1);
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

TEST(SocketStream, BusyPortFailsWithTheSystemErrorUntilItsHolderIsDestroyed) {
    const std::string port = freePortText();
    SocketStream second;
    {
        SocketStream first;
        ASSERT_EQ(first.listenOn(port.c_str()), 1);
        EXPECT_EQ(second.listenOn(port.c_str()), 0);
#ifdef _WIN32
        EXPECT_EQ(second.lastError, 10048);  // WSAEADDRINUSE
#else
        EXPECT_EQ(second.lastError, EADDRINUSE);
#endif
        EXPECT_EQ(second.lastSocketError(), second.lastError);
        EXPECT_EQ(second.listenSocket, 0);
        EXPECT_EQ(second.dataSocket, 0);
        EXPECT_EQ(second.listening, 0);
    }
    // Destruction closed the listening socket.
    EXPECT_EQ(second.listenOn(port.c_str()), 1);
}

TEST(SocketStream, ListeningAgainReplacesTheListeningSocketItHolds) {
    const std::string port = freePortText();
    SocketStream server;
    ASSERT_EQ(server.listenOn(port.c_str()), 1);
    EXPECT_EQ(server.listenOn(port.c_str()), 1);
    SocketStream client;
    EXPECT_EQ(client.connectTo("127.0.0.1", port.c_str()), 1);
    EXPECT_EQ(server.acceptOne(), 1);
}

TEST(SocketStream, CloseAllReleasesBothSocketsAndClearsTheFlags) {
    std::string port;
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client, &port));
    EXPECT_EQ(server.closeAll(), 1);
    EXPECT_EQ(server.listenSocket, 0);
    EXPECT_EQ(server.dataSocket, 0);
    EXPECT_EQ(server.connected, 0);
    EXPECT_EQ(server.listening, 0);
    EXPECT_EQ(server.datagram, 0);
    EXPECT_EQ(server.acceptOne(), 0);
    uint8_t byte;
    EXPECT_EQ(client.receiveBytes(&byte, 1), -1);  // the accepted connection was closed
    SocketStream other;
    EXPECT_EQ(other.listenOn(port.c_str()), 1);  // and so was the listening socket
}

TEST(SocketStream, FailedAcceptClosesTheListeningSocketAndClearsTheState) {
    SocketStream server;
    SocketStream client;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, client));
    // Hand over a socket that is not listening: accept fails on it.
    platform::closeSocket(server.listenSocket);
    server.listenSocket = server.dataSocket;
    server.dataSocket = 0;
    EXPECT_EQ(server.acceptOne(), 0);
    EXPECT_EQ(server.listenSocket, 0);
    EXPECT_EQ(server.listening, 0);
    EXPECT_EQ(server.dataSocket, 0);
    EXPECT_EQ(server.connected, 0);
    uint8_t byte;
    EXPECT_EQ(client.receiveBytes(&byte, 1), -1);  // it was closed
}

TEST(SocketStream, ExchangesDatagramsBetweenABoundAndAConnectedSocket) {
    const std::string port = freePortText();
    SocketStream receiver;
    SocketStream sender;
    ASSERT_EQ(receiver.bindDatagram(port.c_str()), 1);
    EXPECT_EQ(receiver.connected, 1);
    EXPECT_EQ(receiver.datagram, 1);
    EXPECT_EQ(receiver.address.port, networkPort(static_cast<uint16_t>(std::stoi(port))));
    ASSERT_EQ(sender.connectDatagram("127.0.0.1", port.c_str()), 1);
    EXPECT_EQ(sender.connected, 1);
    EXPECT_EQ(sender.datagram, 1);
    EXPECT_EQ(sender.lastError, 0);

    EXPECT_EQ(sendText(sender, "echo"), 1);
    receiver.setTimeout(10);
    uint8_t buffer[16];
    ASSERT_EQ(receiver.receiveBytes(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::memcmp(buffer, "echo", 4), 0);
    EXPECT_EQ(receiver.closeAll(), 1);
    EXPECT_EQ(receiver.datagram, 0);
}

// Bytes received beyond a request are handed out by the next receives, in
// order, and never to another connection.
TEST(SocketStream, BytesReceivedAheadGoToTheNextReceivesOfTheSameConnectionOnly) {
    std::string port;
    SocketStream server;
    SocketStream first;
    ASSERT_NO_FATAL_FAILURE(connectPair(server, first, &port));
    std::string sent;
    for (int index = 0; index < 3000; ++index) sent.push_back(static_cast<char>('a' + index % 26));
    ASSERT_EQ(sendText(first, sent + "left"), 1);
    std::string got;
    while (got.size() < sent.size()) {
        uint8_t piece[1024];
        const uint32_t wanted = static_cast<uint32_t>(std::min<size_t>(sizeof piece, sent.size() - got.size()));
        const int received = server.receiveBytes(piece, wanted);
        ASSERT_GT(received, 0);
        ASSERT_LE(static_cast<uint32_t>(received), wanted);
        got.append(reinterpret_cast<const char*>(piece), static_cast<size_t>(received));
    }
    EXPECT_EQ(got, sent);
    // "left" may be held by the server object now: the next connection it
    // accepts must not receive it.
    platform::closeSocket(server.dataSocket);
    server.dataSocket = 0;
    SocketStream second;
    ASSERT_EQ(second.connectTo("127.0.0.1", port.c_str()), 1);
    ASSERT_EQ(server.acceptOne(), 1);
    ASSERT_EQ(sendText(second, "next"), 1);
    EXPECT_EQ(receiveText(server, 4), "next");
}
