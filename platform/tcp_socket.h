// TCP for the RFC 2217 client and velmora-sim's server: BSD sockets on POSIX, Winsock on
// Windows. Every socket made here is non-blocking and sends small writes at once (no Nagle).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace velmora {

using SocketId = intptr_t;
inline constexpr SocketId kNoSocket = -1;

// What WaitSockets reports for each socket.
enum : int { kSocketReadable = 1, kSocketWritable = 2, kSocketBroken = 4 };

struct SocketWait {
  SocketId socket = kNoSocket;
  bool read = false;
  bool write = false;
  int ready = 0;  // set by WaitSockets: kSocketReadable | kSocketWritable | kSocketBroken
};

// Waits up to us microseconds until one of the sockets is ready. Returns how many are, 0 when
// none became ready in time (or a signal cut the wait short), -1 when the wait itself failed.
int WaitSockets(SocketWait* sockets, size_t count, int64_t us);

// Connects to host:port (any address family) before the clock reaches deadlineUs.
// kNoSocket with "host:port: reason" (or "host: reason" for a name that does not resolve).
SocketId TcpConnect(const std::string& host, const std::string& port, Clock& clock,
                    int64_t deadlineUs, std::string* error);
// Listens on host:port (a name or a numeric address of either family; port 0: any free port);
// *boundPort is the port taken. kNoSocket with the reason alone in *error (the caller names the
// address it asked for).
SocketId TcpListen(const std::string& host, int port, int* boundPort, std::string* error);
// Listens on 127.0.0.1:port, as TcpListen.
SocketId TcpListenLoopback(int port, int* boundPort, std::string* error);
// Takes a waiting connection; kNoSocket when none is there.
SocketId TcpAccept(SocketId listener);

// Sends what the socket takes now: the count sent, 0 when it takes nothing now, -1 when the
// connection is broken.
long SocketSend(SocketId socket, const void* data, size_t n);
// Receives what is there: the count, 0 when nothing is there now, -1 when the peer closed the
// connection or it broke.
long SocketReceive(SocketId socket, void* buffer, size_t n);
void CloseSocket(SocketId socket);

// Raises the process's own limit of open descriptors (sockets among them) towards `wanted`, as
// far as the system lets it, and returns the limit now in force. Windows has no such limit
// for sockets: `wanted` itself.
size_t RaiseSocketLimit(size_t wanted);

}  // namespace velmora
