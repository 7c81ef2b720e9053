#include "station/page.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "station/http.h"

namespace velmora {
namespace {

// How long the serving loop waits for its sockets before it looks at the board and at Stop.
constexpr int64_t kTickUs = 50'000;
// An event stream with nothing new gets a comment line this often, so that proxies and the
// browser keep an idle connection.
constexpr int64_t kKeepAliveMs = 15'000;
// A connection that has not sent a whole request by then is closed: it holds a slot.
constexpr int64_t kRequestTimeoutMs = 10'000;
// A client that takes no byte of what it was sent for this long is closed.
constexpr int64_t kStalledMs = 60'000;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}

enum class Kind { kReading, kReplying, kEvents };

struct Connection {
  SocketId socket = kNoSocket;
  Kind kind = Kind::kReading;
  std::string in;
  std::string out;
  size_t sent = 0;
  bool closed = false;
  bool fresh = true;       // an event stream that has had no snapshot yet
  uint64_t seen = 0;       // the version of the last snapshot queued
  int64_t openedMs = 0;
  int64_t movedMs = 0;     // the last time the client took bytes
  int64_t eventMs = 0;     // the last event or comment queued

  bool Drained() const { return sent == out.size(); }
  void Queue(const std::string& text) {
    if (Drained()) {
      out.clear();
      sent = 0;
    }
    out += text;
  }
};

// The serving loop's state: the listener and every open connection, touched by its thread only.
class Server {
 public:
  Server(const StationBoard& board, SocketId listener) : board_(board), listener_(listener) {}
  ~Server() {
    for (const auto& c : connections_) CloseSocket(c->socket);
  }
  void Tick();

 private:
  void Accept();
  void Read(Connection& c);
  void Write(Connection& c, int64_t now);
  void Route(Connection& c, const HttpRequest& request);
  void Reply(Connection& c, int status, std::string_view type, std::string_view body, bool withBody);
  void Publish(int64_t now);
  void Expire(int64_t now);
  size_t EventClients() const;

  const StationBoard& board_;
  const SocketId listener_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

void Server::Tick() {
  std::vector<SocketWait> waits{{listener_, true, false, 0}};
  for (const auto& c : connections_) waits.push_back({c->socket, true, !c->Drained(), 0});
  WaitSockets(waits.data(), waits.size(), kTickUs);
  const int64_t now = SteadyMs();
  for (size_t i = 0; i < connections_.size(); ++i) {
    Connection& c = *connections_[i];
    if (waits[i + 1].ready & (kSocketReadable | kSocketBroken)) Read(c);
  }
  if (waits[0].ready & kSocketReadable) Accept();
  Publish(now);
  for (const auto& c : connections_) Write(*c, now);
  Expire(now);
}

void Server::Accept() {
  for (SocketId s = TcpAccept(listener_); s != kNoSocket; s = TcpAccept(listener_)) {
    if (connections_.size() >= StationPage::kMaxConnections) {
      const std::string busy = HttpResponse(503, "text/plain", "too many connections\n", true);
      SocketSend(s, busy.data(), busy.size());
      CloseSocket(s);
      continue;
    }
    auto c = std::make_unique<Connection>();
    c->socket = s;
    c->openedMs = c->movedMs = SteadyMs();
    connections_.push_back(std::move(c));
  }
}

void Server::Read(Connection& c) {
  char buffer[4096];
  for (;;) {
    const long n = SocketReceive(c.socket, buffer, sizeof buffer);
    if (n < 0) c.closed = true;
    if (n <= 0) break;
    // Once a request is taken, whatever else the client sends is not looked at.
    if (c.kind == Kind::kReading) c.in.append(buffer, static_cast<size_t>(n));
  }
  if (c.kind != Kind::kReading || c.closed) return;
  HttpRequest request;
  switch (ParseRequestHead(c.in, &request)) {
    case RequestHead::kIncomplete:
      return;
    case RequestHead::kBad:
      Reply(c, c.in.size() > kMaxRequestHead ? 431 : 400, "text/plain", "bad request\n", true);
      return;
    case RequestHead::kComplete:
      Route(c, request);
      return;
  }
}

void Server::Reply(Connection& c, int status, std::string_view type, std::string_view body,
                   bool withBody) {
  c.kind = Kind::kReplying;
  c.in.clear();
  c.Queue(HttpResponse(status, type, body, withBody));
}

void Server::Route(Connection& c, const HttpRequest& request) {
  const bool withBody = request.method == "GET";
  if (!withBody && request.method != "HEAD") {
    Reply(c, 405, "text/plain", "the station page is read-only\n", true);
  } else if (request.path == "/") {
    Reply(c, 200, "text/html; charset=utf-8", StationPageHtml(), withBody);
  } else if (request.path == "/state") {
    Reply(c, 200, "application/json", board_.SnapshotJson(), withBody);
  } else if (request.path != "/events") {
    Reply(c, 404, "text/plain", "not found\n", withBody);
  } else if (EventClients() >= StationPage::kMaxEventClients) {
    Reply(c, 503, "text/plain", "too many event-stream clients\n", withBody);
  } else if (!withBody) {
    c.kind = Kind::kReplying;
    c.Queue(EventStreamHead());
  } else {
    c.kind = Kind::kEvents;
    c.in.clear();
    c.Queue(EventStreamHead());
  }
}

// Each event stream that has taken everything it was sent gets the newest snapshot, if it has
// not seen it; one that is still taking the last gets nothing more until it has.
void Server::Publish(int64_t now) {
  const uint64_t version = board_.version();
  std::string frame;
  uint64_t frameVersion = 0;
  for (const auto& c : connections_) {
    // A new stream's first snapshot goes right behind its head.
    if (c->kind != Kind::kEvents || c->closed || (!c->Drained() && !c->fresh)) continue;
    if (c->fresh || c->seen < version) {
      if (frame.empty()) frame = "data: " + board_.SnapshotJson(&frameVersion) + "\n\n";
      c->Queue(frame);
      c->seen = frameVersion;
      c->fresh = false;
      c->eventMs = now;
    } else if (now - c->eventMs >= kKeepAliveMs) {
      c->Queue(": keep-alive\n\n");
      c->eventMs = now;
    }
  }
}

void Server::Write(Connection& c, int64_t now) {
  while (!c.closed && !c.Drained()) {
    const long n = SocketSend(c.socket, c.out.data() + c.sent, c.out.size() - c.sent);
    if (n < 0) c.closed = true;
    if (n <= 0) break;
    c.sent += static_cast<size_t>(n);
    c.movedMs = now;
  }
  if (c.kind == Kind::kReplying && c.Drained()) c.closed = true;
}

void Server::Expire(int64_t now) {
  std::erase_if(connections_, [&](const std::unique_ptr<Connection>& c) {
    const bool idle = c->kind == Kind::kReading && now - c->openedMs > kRequestTimeoutMs;
    const bool stalled = !c->Drained() && now - c->movedMs > kStalledMs;
    if (!c->closed && !idle && !stalled) return false;
    CloseSocket(c->socket);
    return true;
  });
}

size_t Server::EventClients() const {
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const auto& c) { return c->kind == Kind::kEvents; }));
}

}  // namespace

StationPage::StationPage(const StationBoard& board) : board_(board) {}

StationPage::~StationPage() { Stop(); }

bool StationPage::Start(const std::string& address, std::string* why) {
  const auto fail = [&](const std::string& reason) {
    *why = "cannot serve the station page on " + address + ": " + reason;
    return false;
  };
  if (thread_.joinable()) return fail("it is served already on " + Url());
  std::string host;
  int port = 0;
  std::string reason;
  if (!ParseServeAddress(address, &host, &port, &reason)) return fail(reason);
  listener_ = TcpListen(host, port, &port_, &reason);
  if (listener_ == kNoSocket) return fail(reason);
  host_ = host;
  stopping_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

std::string StationPage::Url() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
}

void StationPage::Serve() {
  Server server(board_, listener_);
  while (!stopping_) server.Tick();
}

void StationPage::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  thread_.join();
  CloseSocket(listener_);
  listener_ = kNoSocket;
}

}  // namespace velmora
