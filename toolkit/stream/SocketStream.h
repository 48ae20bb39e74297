#ifndef DICOMTOOLKIT_STREAM_SOCKETSTREAM_H
#define DICOMTOOLKIT_STREAM_SOCKETSTREAM_H

#include <atomic>
#include <cstdint>

// IPv4 socket address, laid out as the system's sockaddr_in (16 bytes).
struct SocketAddress {
    uint16_t family;   // 2: IPv4
    uint16_t port;     // network order
    uint32_t address;  // network order; 0 is any local interface
    uint8_t zero[8];
};

// Copy of the system's host record. The pointers point into the system's
// static record storage, which the next host lookup overwrites.
struct HostEntry {
    char* name;
    char** aliases;
    int16_t addressType;
    int16_t addressLength;
    char** addressList;  // addresses of addressLength bytes, network order, null-terminated
};

// Copy of the system's service record; pointers as in HostEntry.
struct ServiceEntry {
    char* name;
    char** aliases;
    int16_t port;  // network order
    char* protocol;
};

// A socket of the system; 0 means none.
using SocketHandle = intptr_t;

// Live SocketStream objects whose construction started the socket library.
// The first one starts the library, the last one to go stops it. Objects may
// be made and destroyed on several threads at once: the count and the start
// and stop it decides are guarded together.
extern std::atomic<uint16_t> winsockUsers;

// The TCP end point of an association: resolves host and port texts, listens
// and accepts as a server, connects as a client and moves raw bytes with a
// receive time-out (IPv4). The association service forwards its stream's raw
// input and output here and hands sockets over through dataSocket,
// listenSocket, connected and listening, which it reads and sets directly.
// Every operation blocks its caller; results are 1 for success, 0 for failure.
class SocketStream {
public:
    SocketStream();

    // Sends all count bytes, repeating partial sends. Returns 0 when not
    // connected, otherwise 1, also when the connection failed on the way (then
    // "SOCKET END ERROR: <lastError>" is printed on standard output and the
    // next receive reports the broken connection).
    virtual int sendBytes(const uint8_t* bytes, uint32_t count);
    // Waits up to timeoutSeconds for input, then receives at most size bytes.
    // On a TCP connection one system call takes in up to 64 KiB and keeps
    // what the caller did not ask for for the next receives on the same
    // socket (a stream asks for 1024 bytes at a time; a PDU's worth in one
    // call saves the rest). Returns the byte count; 0 when timeoutSeconds is 0 and nothing has
    // arrived (the caller asks again); -1 when not connected, on time-out, on
    // error, or when the peer closed the connection.
    virtual int receiveBytes(uint8_t* buffer, uint32_t size);
    // Closes the sockets still held; the last object stops the socket library.
    virtual ~SocketStream();
    // Connects a TCP socket to hostText:portText; lastError gets connect's
    // result (0 or -1).
    virtual int connectTo(const char* hostText, const char* portText);

    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    // A text whose leading decimal number is not 0 (10.1.2.3 gives 10) is
    // taken as a dotted address without a name lookup; other texts are looked
    // up by name, and when that fails they too are converted as dotted
    // addresses, so an unknown name gives the all-ones address. A converted
    // text gives a record with a null name and aliases, type 2, length 4 and
    // the one address in hostAddress. Returns the object's host record, or
    // null for a null text or one longer than 139 characters.
    HostEntry* resolveHost(const char* hostText);
    // A text whose leading decimal number, cut to 16 bits, is not 0 is the
    // port itself (the record then has only the port; name, aliases and
    // protocol are null); other texts are service names looked up for protocol
    // (null: any). Returns the object's service record, or null for a null
    // text or an unknown name.
    ServiceEntry* resolvePort(const char* portText, const char* protocol);
    // Opens a TCP socket listening on portText of every local interface
    // (backlog 5) into listenSocket; closes the sockets held before.
    int listenOn(const char* portText);
    // Waits for the next connection on listenSocket and makes it dataSocket
    // (replacing the handle there: the caller has taken or closed it); the
    // listening socket stays open. A failed accept closes the listening socket.
    int acceptOne();
    // Closes both sockets and clears connected, listening and datagram; returns 1.
    int closeAll();
    int lastSocketError();
    // Makes the data socket send each write at once (no Nagle delay); every
    // connection that connectTo or acceptOne makes already does. Returns 1,
    // or 0 when there is no data socket or the system refused.
    int setNoDelay();
    // Receive time-out in seconds; 0 makes receiveBytes only look (and return
    // 0 when nothing is there). A negative time-out only looks too, and finding
    // nothing counts as a time-out. Returns 1.
    int setTimeout(int32_t seconds);
    // A UDP socket bound to portText of every local interface.
    int bindDatagram(const char* portText);
    // A UDP socket connected to hostText:portText; an unknown port prints
    // "Could not resolve port" on standard error.
    int connectDatagram(const char* hostText, const char* portText);

    // The socket library's start-up result, then the result of the last
    // connect (0 or -1), or the system's error code after a failed bind.
    int32_t lastError = 0;
    // The address of a host text that was converted rather than looked up,
    // and the null-terminated one-entry address list that host points to.
    uint32_t hostAddress = 0;
    char* hostAddressList[2] = {nullptr, nullptr};
    SocketHandle dataSocket = 0;
    SocketHandle listenSocket = 0;
    int32_t datagram = 0;
    int32_t connected = 0;
    int32_t listening = 0;
    // The local address after listenOn or bindDatagram, the peer's after a
    // connect or accept.
    SocketAddress address = {};
    HostEntry host = {};
    ServiceEntry service = {};
    int32_t timeoutSeconds = 300;
    // Set when a send met a broken connection; cleared by each new
    // connection (connectTo, acceptOne) and by the caller that adopts one.
    int32_t sendFailed = 0;

private:
    intptr_t openBound(const char* portText, int datagramSocket);
    int openConnected(const HostEntry& peerHost, const ServiceEntry& peerPort, int datagramSocket);
    void closeDataSocket();
    int takeReceived(uint8_t* buffer, uint32_t size);

    static constexpr uint32_t receiveBlock = 64u << 10;
    // Bytes received from receivedFrom beyond what was asked for, from
    // receivedStart to receivedEnd.
    uint8_t* received = nullptr;
    uint32_t receivedStart = 0;
    uint32_t receivedEnd = 0;
    SocketHandle receivedFrom = 0;

    // 1 when this object's construction counted it in winsockUsers, so that
    // only such an object lowers the count (and perhaps stops the library).
    int32_t countedUser = 0;
};

#endif
