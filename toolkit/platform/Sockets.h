#ifndef DICOMTOOLKIT_PLATFORM_SOCKETS_H
#define DICOMTOOLKIT_PLATFORM_SOCKETS_H

#include <cstdint>

// The toolkit's own copies of the system's IPv4 socket records (defined in
// stream/SocketStream.h); this layer fills them from, and reads them into,
// the system's records.
struct SocketAddress;
struct HostEntry;
struct ServiceEntry;

namespace platform {

// Windows Sockets 1.1 on Windows, BSD sockets elsewhere. A socket handle is
// carried as a signed pointer-sized number: a negative value means failure,
// and no operation here ever hands out 0, which the toolkit keeps for "no
// socket".

enum class SocketKind { stream, datagram };  // TCP, UDP

// Starts the socket library (version 1.1) and returns 0 or the library's
// error code. stopSockets ends one start. Only Windows has such a library;
// elsewhere both do nothing and startSockets returns 0.
int startSockets();
void stopSockets();

intptr_t openSocket(SocketKind kind);
void closeSocket(intptr_t socket);

// Each returns 0 on success and -1 on failure; lastSocketError then tells why.
int bindSocket(intptr_t socket, const SocketAddress& local);
int listenSocket(intptr_t socket, int backlog);
int connectSocket(intptr_t socket, const SocketAddress& peer);
// The accepted handle (peer's address into peer), or a negative value.
intptr_t acceptSocket(intptr_t listening, SocketAddress& peer);

// The bytes sent or received by one system call, or -1. An interrupted call is
// repeated. sendSome never raises a broken-pipe signal when the peer has gone.
int sendSome(intptr_t socket, const uint8_t* bytes, int count);
int receiveSome(intptr_t socket, uint8_t* buffer, int size);

// Sends every write of a TCP socket at once instead of holding small
// writes back until earlier data is acknowledged. 0, or -1 on failure.
int setNoDelay(intptr_t socket);

// Ends both directions of a connected socket without closing it, so that
// a thread blocked reading it wakes up with a failure.
void shutdownSocket(intptr_t socket);

// Waits until socket has input (or the peer closed it), for at most seconds
// seconds; 0 seconds only looks. Returns 1 readable, 0 not in time, -1 error.
int waitReadable(intptr_t socket, int32_t seconds);

// The code of the last failed socket call of this thread.
int lastSocketError();

// Name services. findHost and findService copy the system's record (its scalar
// fields and the pointers into the system's static record storage, which the
// next lookup overwrites) and return 1, or return 0 when there is none.
int findHost(const char* name, HostEntry& copy);
int findService(const char* name, const char* protocol, ServiceEntry& copy);
// The IPv4 address of a dotted text, network order; all ones when it is none.
uint32_t dottedAddress(const char* text);
uint16_t hostToNetwork16(uint16_t value);
uint16_t networkToHost16(uint16_t value);

// A TCP port of 127.0.0.1 that was free a moment ago (the system chose it for
// a socket that is closed again), host order; 0 when none could be had. For
// tests, which must not guess port numbers.
uint16_t freeLocalPort();

}  // namespace platform

#endif
