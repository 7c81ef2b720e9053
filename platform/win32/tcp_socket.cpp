// TCP on Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/tcp_socket.h"
#include "platform/win32/text.h"

namespace velmora {

namespace {

SOCKET Sock(SocketId s) { return static_cast<SOCKET>(s); }

// Winsock wants WSAStartup once before the first socket; it stays up for the process.
bool Started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

void Prepare(SOCKET s) {
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  // Frames are small and every byte counts for the reply windows: no coalescing.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }

}  // namespace

int WaitSockets(SocketWait* sockets, size_t count, int64_t us) {
  std::vector<WSAPOLLFD> fds(count);
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = Sock(sockets[i].socket);
    fds[i].events = static_cast<SHORT>((sockets[i].read ? POLLRDNORM : 0) | (sockets[i].write ? POLLWRNORM : 0));
    fds[i].revents = 0;
    sockets[i].ready = 0;
  }
  if (us < 0) us = 0;
  // WSAPoll counts whole milliseconds: round up so that a wait never ends before it is due.
  const int ms = static_cast<int>(std::min<int64_t>((us + 999) / 1000, 0x7fffffff));
  const int r = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms);
  if (r == 0) return 0;
  if (r == SOCKET_ERROR) return -1;
  for (size_t i = 0; i < count; ++i) {
    const SHORT ev = fds[i].revents;
    sockets[i].ready = ((ev & (POLLRDNORM | POLLHUP)) ? kSocketReadable : 0) |
                       ((ev & POLLWRNORM) ? kSocketWritable : 0) |
                       ((ev & (POLLERR | POLLHUP | POLLNVAL)) ? kSocketBroken : 0);
  }
  return r;
}

SocketId TcpConnect(const std::string& host, const std::string& port, Clock& clock,
                    int64_t deadlineUs, std::string* error) {
  if (!Started()) {
    *error = host + ":" + port + ": " + SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
    return kNoSocket;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (gai != 0) {
    *error = host + ": " + SystemErrorText(static_cast<unsigned long>(gai));
    return kNoSocket;
  }
  *error = host + ":" + port + ": connection timed out";
  SOCKET found = INVALID_SOCKET;
  for (addrinfo* ai = list; ai && found == INVALID_SOCKET; ai = ai->ai_next) {
    const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    Prepare(s);
    int r = connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
    if (r != 0 && WouldBlock(WSAGetLastError())) {
      SocketWait wait{static_cast<SocketId>(s), false, true, 0};
      const int ev = WaitSockets(&wait, 1, deadlineUs - clock.NowUs());
      int soError = 0;
      int len = sizeof soError;
      if (ev > 0 && (wait.ready & kSocketWritable) &&
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) == 0 &&
          soError == 0) {
        r = 0;
      } else if (ev > 0) {
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        *error = host + ":" + port + ": " +
                 SystemErrorText(static_cast<unsigned long>(soError ? soError : WSAECONNREFUSED));
      }
    } else if (r != 0) {
      *error = host + ":" + port + ": " + SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
    }
    if (r == 0) {
      found = s;
    } else {
      closesocket(s);
    }
  }
  freeaddrinfo(list);
  return found == INVALID_SOCKET ? kNoSocket : static_cast<SocketId>(found);
}

SocketId TcpListen(const std::string& host, int port, int* boundPort, std::string* error) {
  if (!Started()) {
    *error = SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
    return kNoSocket;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (gai != 0) {
    *error = SystemErrorText(static_cast<unsigned long>(gai));
    return kNoSocket;
  }
  SOCKET listener = INVALID_SOCKET;
  for (addrinfo* ai = list; ai && listener == INVALID_SOCKET; ai = ai->ai_next) {
    const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
      *error = SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
      continue;
    }
    // SO_REUSEADDR means something else on Windows (taking over a port in use); a listener that
    // must not share its port asks for that instead.
    const BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
    if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 && listen(s, SOMAXCONN) == 0) {
      listener = s;
    } else {
      *error = SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
      closesocket(s);
    }
  }
  freeaddrinfo(list);
  if (listener == INVALID_SOCKET) return kNoSocket;
  sockaddr_storage addr{};
  int len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  *boundPort = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  u_long nonBlocking = 1;
  ioctlsocket(listener, FIONBIO, &nonBlocking);
  return static_cast<SocketId>(listener);
}

SocketId TcpListenLoopback(int port, int* boundPort, std::string* error) {
  return TcpListen("127.0.0.1", port, boundPort, error);
}

SocketId TcpAccept(SocketId listener) {
  const SOCKET s = accept(Sock(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  Prepare(s);
  return static_cast<SocketId>(s);
}

long SocketSend(SocketId socket, const void* data, size_t n) {
  const int chunk = static_cast<int>(std::min<size_t>(n, 1 << 30));
  const int r = send(Sock(socket), static_cast<const char*>(data), chunk, 0);
  if (r >= 0) return r;
  return WouldBlock(WSAGetLastError()) ? 0 : -1;
}

long SocketReceive(SocketId socket, void* buffer, size_t n) {
  const int chunk = static_cast<int>(std::min<size_t>(n, 1 << 30));
  const int r = recv(Sock(socket), static_cast<char*>(buffer), chunk, 0);
  if (r > 0) return r;
  if (r == 0) return -1;
  return WouldBlock(WSAGetLastError()) ? 0 : -1;
}

void CloseSocket(SocketId socket) {
  if (socket != kNoSocket) closesocket(Sock(socket));
}

// Winsock counts sockets against no per-process limit of descriptors.
size_t RaiseSocketLimit(size_t wanted) { return wanted; }

}  // namespace velmora
