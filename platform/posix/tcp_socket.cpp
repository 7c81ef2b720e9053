// TCP on BSD sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/tcp_socket.h"

namespace velmora {

namespace {

int Fd(SocketId s) { return static_cast<int>(s); }

void NoDelay(int fd) {
  // Frames are small and every byte counts for the reply windows: no coalescing.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int WaitSockets(SocketWait* sockets, size_t count, int64_t us) {
  std::vector<pollfd> fds(count);
  for (size_t i = 0; i < count; ++i) {
    const short events =
        static_cast<short>((sockets[i].read ? POLLIN : 0) | (sockets[i].write ? POLLOUT : 0));
    fds[i] = {Fd(sockets[i].socket), events, 0};
    sockets[i].ready = 0;
  }
  if (us < 0) us = 0;
  const timespec ts{static_cast<time_t>(us / 1'000'000), static_cast<long>((us % 1'000'000) * 1000)};
  const int r = ppoll(fds.data(), fds.size(), &ts, nullptr);
  if (r == 0 || (r < 0 && errno == EINTR)) return 0;
  if (r < 0) return -1;
  for (size_t i = 0; i < count; ++i) {
    const short ev = fds[i].revents;
    sockets[i].ready = ((ev & POLLIN) ? kSocketReadable : 0) | ((ev & POLLOUT) ? kSocketWritable : 0) |
                       ((ev & (POLLERR | POLLHUP | POLLNVAL)) ? kSocketBroken : 0);
  }
  return r;
}

SocketId TcpConnect(const std::string& host, const std::string& port, Clock& clock,
                    int64_t deadlineUs, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (gai != 0) {
    *error = host + ": " + gai_strerror(gai);
    return kNoSocket;
  }
  *error = host + ":" + port + ": connection timed out";
  int fd = -1;
  for (addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
    const int s = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) continue;
    int r = connect(s, ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      SocketWait wait{s, false, true, 0};
      const int ev = WaitSockets(&wait, 1, deadlineUs - clock.NowUs());
      int soError = 0;
      socklen_t len = sizeof soError;
      if (ev > 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) {
        r = 0;
      } else if (ev > 0) {
        *error = host + ":" + port + ": " + std::strerror(soError ? soError : ECONNREFUSED);
      }
    } else if (r != 0) {
      *error = host + ":" + port + ": " + std::strerror(errno);
    }
    if (r == 0) {
      fd = s;
    } else {
      close(s);
    }
  }
  freeaddrinfo(list);
  if (fd >= 0) NoDelay(fd);
  return fd;
}

SocketId TcpListen(const std::string& host, int port, int* boundPort, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (gai != 0) {
    *error = gai_strerror(gai);
    return kNoSocket;
  }
  int listener = -1;
  for (addrinfo* ai = list; ai && listener < 0; ai = ai->ai_next) {
    const int s = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) {
      *error = std::strerror(errno);
      continue;
    }
    const int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(s, ai->ai_addr, ai->ai_addrlen) == 0 && listen(s, SOMAXCONN) == 0) {
      listener = s;
    } else {
      *error = std::strerror(errno);
      close(s);
    }
  }
  freeaddrinfo(list);
  if (listener < 0) return kNoSocket;
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  *boundPort = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return listener;
}

SocketId TcpListenLoopback(int port, int* boundPort, std::string* error) {
  return TcpListen("127.0.0.1", port, boundPort, error);
}

SocketId TcpAccept(SocketId listener) {
  const int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return kNoSocket;
  NoDelay(fd);
  return fd;
}

long SocketSend(SocketId socket, const void* data, size_t n) {
  for (;;) {
    const ssize_t r = send(Fd(socket), data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

long SocketReceive(SocketId socket, void* buffer, size_t n) {
  for (;;) {
    const ssize_t r = recv(Fd(socket), buffer, n, MSG_DONTWAIT);
    if (r > 0) return static_cast<long>(r);
    if (r == 0) return -1;
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

void CloseSocket(SocketId socket) {
  if (socket != kNoSocket) close(Fd(socket));
}

size_t RaiseSocketLimit(size_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const rlim_t want = static_cast<rlim_t>(wanted);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? want : std::min(want, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<size_t>(limit.rlim_cur);
}

}  // namespace velmora
