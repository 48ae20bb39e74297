#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "../support/ScriptedPeer.h"
#include "AssociationFixtures.h"

using namespace association;

namespace {

void setLength32(Bytes& bytes, size_t at, uint32_t value) {
    for (int index = 0; index < 4; ++index) bytes[at + index] = static_cast<uint8_t>(value >> (24 - 8 * index));
}

// A request whose abstract syntax is a UID of 70 characters (which no
// UidValue can hold, so the bytes are patched in).
Bytes requestWithLongUid() {
    Bytes request = requestBytes({{1, verification, {implicitLittle}}});
    const size_t application = 74;
    const size_t context = application + 4 + (request[application + 2] << 8 | request[application + 3]);
    const size_t abstract = context + 8;
    const size_t grow = 70 - 17;
    request.insert(request.begin() + abstract + 4 + 17, grow, '1');
    request[abstract + 3] = 70;
    request[context + 3] = static_cast<uint8_t>(request[context + 3] + grow);
    setLength32(request, 2, static_cast<uint32_t>(request.size() - 6));
    return request;
}

// A request whose first presentation-context item claims more bytes than
// the PDU holds after it.
Bytes requestWithOverlongItem() {
    Bytes request = requestBytes({{1, verification, {implicitLittle}}});
    const size_t application = 74;
    const size_t context = application + 4 + (request[application + 2] << 8 | request[application + 3]);
    request[context + 2] = 0x7F;
    return request;
}

// A request whose user-information sub-item runs past its item.
Bytes requestWithOverlongSubItem() {
    Bytes request = requestBytes({{1, verification, {implicitLittle}}});
    size_t offset = 74, user = 0;
    while (offset < request.size()) {
        if (request[offset] == 0x50) user = offset;
        offset += 4 + (request[offset + 2] << 8 | request[offset + 3]);
    }
    request[user + 4 + 3] = 0x40;  // the maximum-length sub-item claims 64 bytes
    return request;
}

Bytes requestClaiming(uint32_t length) {
    Bytes request = requestBytes({{1, verification, {implicitLittle}}});
    setLength32(request, 2, length);
    return request;
}

// Takes the listening socket out of a listener, which the caller keeps while
// the socket is in use: on Windows the last SocketStream to go stops the
// socket library, and that closes every socket still open.
SocketHandle listeningOn(SocketStream& listener, uint16_t port) {
    if (!listener.listenOn(portText(port).c_str())) return 0;
    const SocketHandle listening = listener.listenSocket;
    listener.listenSocket = 0;
    listener.listening = 0;
    return listening;
}

}  // namespace

// Every hostile or broken first PDU ends its own connection with an A-ABORT
// (or, when the connection itself failed, with nothing), and the listener
// goes on to serve the next peer.
TEST(HostilePeer, EveryBrokenRequestEndsOnlyItsOwnConnection) {
    const Bytes good = requestBytes({{1, verification, {implicitLittle}}});
    struct Case {
        const char* name;
        Bytes script;
        Bytes expected;
    };
    const Case cases[] = {
        {"an HTTP request", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n', '\r', '\n'},
         abortAsSent},
        {"a UID of 70 characters", requestWithLongUid(), abortAsSent},
        {"an item past the end of its PDU", requestWithOverlongItem(), abortAsSent},
        {"a sub-item past the end of its item", requestWithOverlongSubItem(), abortAsSent},
        {"a PDU length near 4 GiB", requestClaiming(0xFFFFFFF0u), abortAsSent},
        {"a PDU length below the fixed part", requestClaiming(20), abortAsSent},
        {"items that do not add up to the PDU length", requestClaiming(static_cast<uint32_t>(good.size() - 6 - 3)),
         abortAsSent},
        {"A-ABORT first", abortAsSent, abortAsSent},
        {"A-RELEASE-RQ first", releaseRequest, abortAsSent},
        {"half a request, then the peer closes", Bytes(good.begin(), good.begin() + good.size() / 2), {}},
        {"a header and nothing more", Bytes(good.begin(), good.begin() + 3), {}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const uint16_t port = platform::freeLocalPort();
        SocketStream listener;
        const SocketHandle listening = listeningOn(listener, port);
        ASSERT_NE(listening, 0);
        AssociationService service;
        ScriptedPeer hostile(ScriptedPeer::Role::connect, port, row.script, 1);
        std::unique_ptr<ScriptedPeer> next;
        std::thread after([&] {
            hostile.finish();
            next = std::make_unique<ScriptedPeer>(ScriptedPeer::Role::connect, port, good, 1);
        });
        EXPECT_EQ(service.serveOnListener(listening), listening);
        after.join();
        EXPECT_EQ(service.isEstablished(), 1);
        service.socket.closeAll();
        next->finish();
        EXPECT_EQ(hostile.received, row.expected);
        EXPECT_EQ(splitPdus(next->received).at(0).type, 0x02);
        platform::closeSocket(listening);
    }
}

// A peer that connects and says nothing is given requestTimeoutSeconds, not
// the socket's five minutes.
TEST(HostilePeer, ASilentPeerIsDroppedAfterTheRequestTimeout) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    service.requestTimeoutSeconds = 1;
    ScriptedPeer silent(ScriptedPeer::Role::connect, port, {}, 10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.acceptAssociation(portText(port).c_str()), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(service.socket.timeoutSeconds, 300);  // the message time-out is as it was
    silent.finish();
    EXPECT_TRUE(silent.closedByOther);
    EXPECT_TRUE(silent.received.empty());
}

// Titles fill their 16 bytes with no room for a terminator on the wire; the
// received title is still a terminated text of 16 characters.
TEST(HostilePeer, SixteenCharacterTitlesAreReadWhole) {
    const uint16_t port = platform::freeLocalPort();
    AssociationService service;
    ScriptedPeer peer(ScriptedPeer::Role::connect, port,
                      requestBytes({{1, verification, {implicitLittle}}}, 16384, "ABCDEFGHIJKLMNOP", "QRSTUVWXYZ012345"), 1);
    ASSERT_EQ(service.acceptAssociation(portText(port).c_str()), 1);
    EXPECT_STREQ(service.AssociateRequestPdu::callingAeTitle, "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(service.AssociateRequestPdu::calledAeTitle, "QRSTUVWXYZ012345");
    service.socket.closeAll();
}
