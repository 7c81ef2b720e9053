#include "station/page.h"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

#include <asio.hpp>

#include "platform/tcp_socket.h"
#include "station/http.h"

namespace velmora {
namespace {

using asio::ip::tcp;
using Steady = std::chrono::steady_clock;

// How often the event streams look at the board: a change is on the page within this (and the
// station's own look at its programs).
constexpr auto kTick = std::chrono::milliseconds(50);
// Snapshots sent per tick at most, over all streams: with more streams than this each one gets
// a snapshot less often (every 2, 3, ... ticks), so that many readers cost the station no more
// than this many do. Each still gets the newest.
constexpr size_t kStreamsPerTick = 32;
// Refused clients being answered at once. Beyond them the listener takes no connection for a
// while: the system holds new ones in its queue, and a storm of reconnects costs the station
// nothing until there is room to answer.
constexpr size_t kMaxRefusing = 256;
// After a failed accept (out of descriptors, say), the listener waits this long before the next.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// What a connection reads and drops after its answer at most before it is closed anyway.
constexpr size_t kMaxDrained = 64 * 1024;
// Descriptors left for the station's own files, logs and programs.
constexpr size_t kReservedFiles = 256;

// The client's address as the per-address count knows it: an IPv4 client is the same client
// whether the listener is IPv4 or IPv6.
std::string AddressKey(const tcp::endpoint& peer) {
  asio::ip::address address = peer.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address.to_string();
}

class Session;

}  // namespace

// The event loop's state: the listener and every open connection, touched by the loop's thread
// only (and by Stop once the loop has ended).
class StationPage::Server {
 public:
  Server(const StationBoard& board, const PageLimits& limits)
      : board_(board), limits_(limits), acceptor_(io_), acceptPause_(io_), tick_(io_), finish_(io_) {}

  bool Listen(SocketId listener, std::string* why);
  void Run() { io_.run(); }
  // From another thread: takes no more clients, hands every event stream that is not busy the
  // newest snapshot (the station's last word, say) and ends the loop once those have left, or
  // after `bound`.
  void Finish(std::chrono::milliseconds bound);
  // Once the loop has ended: closes the listener and every connection.
  void CloseAll();

  const StationBoard& board() const { return board_; }
  const PageLimits& limits() const { return limits_; }
  size_t EventStreams() const { return streams_.size(); }
  void AddStream(Session* session);
  void Written();  // an event has left
  void Forget(Session* session);
  std::shared_ptr<const std::string> Frame(uint64_t* version);

 private:
  void Accept();
  void Admit(tcp::socket socket);
  void Tick();
  void PublishAll();

  const StationBoard& board_;
  const PageLimits limits_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  tcp::acceptor acceptor_;
  asio::steady_timer acceptPause_;
  asio::steady_timer tick_;
  asio::steady_timer finish_;
  bool accepting_ = false;  // an accept or its pause is under way
  bool ticking_ = false;
  bool closed_ = false;
  bool finishing_ = false;
  std::unordered_map<Session*, std::shared_ptr<Session>> sessions_;
  std::vector<Session*> streams_;
  std::unordered_map<std::string, size_t> perAddress_;
  size_t admitted_ = 0;
  size_t refusing_ = 0;
  std::shared_ptr<const std::string> frame_;  // the newest snapshot as an event
  uint64_t frameVersion_ = 0;
};

namespace {

// One connection: its head read within the deadline, then one answer, or the event stream.
// A read is always under way, so that a client that closes is seen at once.
class Session : public std::enable_shared_from_this<Session> {
 public:
  enum class Mode { kHead, kReply, kEvents, kClosing };

  Session(StationPage::Server& server, tcp::socket socket, std::string address, bool admitted)
      : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()),
        address_(std::move(address)), admitted_(admitted) {}

  const std::string& address() const { return address_; }
  bool admitted() const { return admitted_; }
  Mode mode() const { return mode_; }
  bool writing() const { return writing_; }

  // An admitted client: its head must come by the deadline.
  void Begin() {
    Expire(server_.limits().headDeadline, [](Session& s) {
      if (s.mode_ == Mode::kHead) {
        s.Answer(HttpResponse(408, "text/plain", "the request did not come in time\n", true));
      }
    });
    Read();
  }

  // A client beyond a limit: 503 at once, without waiting for its request.
  void Refuse(std::string_view why) {
    Answer(HttpResponse(503, "text/plain", why, true, server_.limits().retryAfterS));
    Read();
  }

  // For the loop's tick: an event stream that is not writing gets the newest snapshot if it has
  // not seen it, else now and then a comment; one whose client has taken nothing for too long is
  // closed.
  void Publish(Steady::time_point now, uint64_t version, Steady::duration spacing) {
    if (writing_) {
      if (now - writeSince_ > server_.limits().stalled) Close();
      return;
    }
    if (seen_ < version && now - eventAt_ >= spacing) {
      Write(server_.Frame(&seen_), now);
    } else if (now - eventAt_ >= server_.limits().keepAlive) {
      static const auto keepAlive = std::make_shared<const std::string>(": keep-alive\n\n");
      Write(keepAlive, now);
    }
  }

  void Close() {
    if (!open_) return;
    open_ = false;
    std::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    server_.Forget(this);  // may drop the server's hold; the caller's keeps the session
  }

 private:
  template <typename Then>
  void Expire(std::chrono::milliseconds after, Then then) {
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this(), then](const std::error_code& ec) {
      if (!ec && self->open_) then(*self);
    });
  }

  void Read() {
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](const std::error_code& ec, size_t n) {
                              self->Received(ec, n);
                            });
  }

  void Received(const std::error_code& ec, size_t n) {
    if (!open_) return;
    if (ec) {
      // The client has gone, or has said all it will: an answer being written is finished
      // first, anything else ends here.
      if (ec == asio::error::eof && mode_ == Mode::kReply) {
        ended_ = true;
        return;
      }
      Close();
      return;
    }
    if (mode_ != Mode::kHead) {
      // Once a request is taken, whatever else the client sends is dropped.
      drained_ += n;
      if (mode_ == Mode::kClosing && drained_ > kMaxDrained) {
        Close();
        return;
      }
      Read();
      return;
    }
    head_.append(buffer_.data(), n);
    HttpRequest request;
    switch (ParseRequestHead(head_, &request)) {
      case RequestHead::kIncomplete:
        break;
      case RequestHead::kBad:
        Answer(HttpResponse(head_.size() > kMaxRequestHead ? 431 : 400, "text/plain",
                            "bad request\n", true));
        break;
      case RequestHead::kComplete:
        Route(request);
        break;
    }
    if (open_) Read();
  }

  void Route(const HttpRequest& request) {
    const bool withBody = request.method == "GET";
    if (!withBody && request.method != "HEAD") {
      Answer(HttpResponse(405, "text/plain", "the station page is read-only\n", true));
    } else if (request.path == "/") {
      Answer(HttpResponse(200, "text/html; charset=utf-8", StationPageHtml(), withBody));
    } else if (request.path == "/state") {
      Answer(HttpResponse(200, "application/json", server_.board().SnapshotJson(), withBody));
    } else if (request.path != "/events") {
      Answer(HttpResponse(404, "text/plain", "not found\n", withBody));
    } else if (server_.EventStreams() >= server_.limits().eventStreams) {
      Answer(HttpResponse(503, "text/plain", "too many event-stream clients\n", withBody,
                          server_.limits().retryAfterS));
    } else if (!withBody) {
      Answer(EventStreamHead());
    } else {
      // The stream's head and its first snapshot go out together.
      mode_ = Mode::kEvents;
      head_ = std::string();
      timer_.cancel();
      server_.AddStream(this);
      const auto frame = server_.Frame(&seen_);
      Write(std::make_shared<const std::string>(EventStreamHead() + *frame), Steady::now());
    }
  }

  // One whole answer; then the connection lingers until the client closes.
  void Answer(std::string text) {
    mode_ = Mode::kReply;
    head_ = std::string();
    reply_ = std::move(text);
    Expire(server_.limits().stalled, [](Session& s) { s.Close(); });
    asio::async_write(socket_, asio::buffer(reply_),
                      [self = shared_from_this()](const std::error_code& ec, size_t) {
                        if (!self->open_) return;
                        if (ec || self->ended_) {
                          self->Close();
                          return;
                        }
                        self->Linger();
                      });
  }

  // Closing at once with bytes of the client's still unread would reset the connection, and the
  // client might lose the answer: the connection says it is done, reads until the client closes
  // too, and is closed then or after the linger.
  void Linger() {
    mode_ = Mode::kClosing;
    std::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    Expire(server_.limits().linger, [](Session& s) { s.Close(); });
  }

  void Write(std::shared_ptr<const std::string> text, Steady::time_point now) {
    writing_ = true;
    writeSince_ = eventAt_ = now;
    asio::async_write(socket_, asio::buffer(*text),
                      [self = shared_from_this(), text](const std::error_code& ec, size_t) {
                        self->writing_ = false;
                        if (ec) self->Close();
                        self->server_.Written();
                      });
  }

  StationPage::Server& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  const std::string address_;
  const bool admitted_;
  Mode mode_ = Mode::kHead;
  bool open_ = true;
  bool ended_ = false;    // the client said it has sent all (while its answer was written)
  bool writing_ = false;
  uint64_t seen_ = 0;     // the version of the last snapshot sent
  Steady::time_point writeSince_, eventAt_;
  std::string head_;
  std::string reply_;
  size_t drained_ = 0;
  std::array<char, 4096> buffer_;
};

}  // namespace

bool StationPage::Server::Listen(SocketId listener, std::string* why) {
  // The listener made by the platform (its address resolved, its options set) is handed to the
  // loop; which family it is decides how the loop reads its peers' addresses.
  const auto handle = static_cast<tcp::acceptor::native_handle_type>(listener);
  std::error_code ec;
  acceptor_.assign(tcp::v4(), handle, ec);
  if (!ec) {
    const tcp::endpoint local = acceptor_.local_endpoint(ec);
    if (!ec && local.protocol() != tcp::v4()) {
      acceptor_.release(ec);
      if (!ec) acceptor_.assign(tcp::v6(), handle, ec);
    }
  }
  if (ec) {
    *why = ec.message();
    std::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  Accept();
  return true;
}

void StationPage::Server::Accept() {
  if (accepting_ || closed_ || refusing_ >= kMaxRefusing) return;
  accepting_ = true;
  acceptor_.async_accept([this](const std::error_code& ec, tcp::socket socket) {
    accepting_ = false;
    if (closed_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or memory: trying again at once would only spin.
      accepting_ = true;
      acceptPause_.expires_after(kAcceptPause);
      acceptPause_.async_wait([this](const std::error_code& waited) {
        accepting_ = false;
        if (!waited) Accept();
      });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void StationPage::Server::Admit(tcp::socket socket) {
  std::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  socket.set_option(tcp::no_delay(true), ec);
  std::string address = AddressKey(peer);
  const auto there = perAddress_.find(address);
  const bool crowded = there != perAddress_.end() && there->second >= limits_.perAddress;
  const bool full = admitted_ >= limits_.connections;
  const bool admit = !crowded && !full;
  auto session = std::make_shared<Session>(*this, std::move(socket), address, admit);
  sessions_.emplace(session.get(), session);
  if (!admit) {
    ++refusing_;
    session->Refuse(full ? "the station page has all the clients it can take\n"
                         : "too many connections from this address\n");
    return;
  }
  ++admitted_;
  ++perAddress_[address];
  session->Begin();
}

void StationPage::Server::AddStream(Session* session) {
  streams_.push_back(session);
  if (ticking_) return;
  ticking_ = true;
  tick_.expires_after(kTick);
  tick_.async_wait([this](const std::error_code& ec) {
    if (!ec) Tick();
  });
}

void StationPage::Server::PublishAll() {
  const Steady::time_point now = Steady::now();
  const uint64_t version = board_.version();
  // A stream closed here leaves the list: walk a copy, holding each session.
  std::vector<std::shared_ptr<Session>> streams;
  streams.reserve(streams_.size());
  for (Session* s : streams_) streams.push_back(s->shared_from_this());
  // A tick's worth less a little, so that a stream due every tick is not put off by a tick
  // that came a moment early.
  const Steady::duration spacing =
      kTick * static_cast<int>(std::max<size_t>(1, (streams.size() + kStreamsPerTick - 1) / kStreamsPerTick)) -
      kTick / 2;
  for (const auto& s : streams) s->Publish(now, version, finishing_ ? Steady::duration::zero() : spacing);
}

void StationPage::Server::Tick() {
  const Steady::time_point now = Steady::now();
  PublishAll();
  if (streams_.empty() || closed_) {
    ticking_ = false;
    return;
  }
  tick_.expires_at(tick_.expiry() + kTick);
  if (tick_.expiry() < now) tick_.expires_after(kTick);  // the loop was held up: no catching up
  tick_.async_wait([this](const std::error_code& ec) {
    if (!ec) Tick();
  });
}

std::shared_ptr<const std::string> StationPage::Server::Frame(uint64_t* version) {
  // One text of the newest snapshot, shared by every stream it goes to.
  if (!frame_ || frameVersion_ < board_.version()) {
    uint64_t shown = 0;
    std::string json = board_.SnapshotJson(&shown);
    frame_ = std::make_shared<const std::string>("data: " + json + "\n\n");
    frameVersion_ = shown;
  }
  *version = frameVersion_;
  return frame_;
}

void StationPage::Server::Forget(Session* session) {
  if (session->admitted()) {
    --admitted_;
    const auto there = perAddress_.find(session->address());
    if (there != perAddress_.end() && --there->second == 0) perAddress_.erase(there);
  } else {
    --refusing_;
  }
  std::erase(streams_, session);
  // Whoever closes the session holds it still (a handler, the tick, CloseAll): dropping the
  // registry's hold here never ends it under their feet.
  sessions_.erase(session);
  Accept();  // a refusal has ended, or a slot is free: the listener may have waited for it
}

void StationPage::Server::Finish(std::chrono::milliseconds bound) {
  asio::post(io_, [this, bound] {
    closed_ = true;
    finishing_ = true;
    std::error_code ignored;
    acceptor_.close(ignored);
    acceptPause_.cancel();
    tick_.cancel();
    PublishAll();
    finish_.expires_after(bound);
    finish_.async_wait([this](const std::error_code& ec) {
      if (!ec) io_.stop();
    });
    Written();
  });
}

void StationPage::Server::Written() {
  if (!finishing_) return;
  const bool busy = std::any_of(streams_.begin(), streams_.end(),
                                [](const Session* s) { return s->writing(); });
  if (!busy) io_.stop();
}

void StationPage::Server::CloseAll() {
  closed_ = true;
  std::error_code ignored;
  acceptor_.close(ignored);
  acceptPause_.cancel();
  tick_.cancel();
  std::vector<std::shared_ptr<Session>> open;
  for (const auto& [_, s] : sessions_) open.push_back(s);
  for (const auto& s : open) s->Close();
}

StationPage::StationPage(const StationBoard& board, PageLimits limits)
    : board_(board), limits_(limits) {}

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
  // Every connection is a descriptor: the process takes what it may, and the page takes no
  // more clients than there are descriptors for, beside the station's own files.
  const size_t files = RaiseSocketLimit(limits_.connections + kMaxRefusing + kReservedFiles);
  const size_t room = files > kMaxRefusing + kReservedFiles ? files - kMaxRefusing - kReservedFiles : 1;
  limits_.connections = std::max<size_t>(1, std::min(limits_.connections, room));
  limits_.perAddress = std::min(limits_.perAddress, limits_.connections);
  limits_.eventStreams = std::min(limits_.eventStreams, limits_.connections);
  int boundPort = 0;
  const SocketId listener = TcpListen(host, port, &boundPort, &reason);
  if (listener == kNoSocket) return fail(reason);
  auto server = std::make_unique<Server>(board_, limits_);
  if (!server->Listen(listener, &reason)) return fail(reason);
  host_ = host;
  port_ = boundPort;
  server_ = std::move(server);
  thread_ = std::thread([server = server_.get()] { server->Run(); });
  return true;
}

std::string StationPage::Url() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
}

void StationPage::Stop() {
  if (!thread_.joinable()) return;
  // The last snapshot (the station finished, say) still goes to every reader that takes it
  // within the bound.
  server_->Finish(std::chrono::milliseconds(500));
  thread_.join();
  server_->CloseAll();
  server_.reset();
}

}  // namespace velmora
