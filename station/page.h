// The station's live page: a read-only web page of every port, served from the station's
// StationBoard on a thread of its own. One event loop (standalone Asio) serves every client, so
// a client that stops reading, or sends its request a byte at a time, holds no thread and never
// slows the station: the board is only ever read, and an event-stream client that has not taken
// its last snapshot is handed the newest one once it has, with nothing queued in between.
//
//   GET /        the page (HTML with its style and script inline: factories are often offline)
//   GET /state   the board's snapshot as JSON
//   GET /events  Server-Sent Events: the snapshot at once, then each new one; a comment line
//                every 15 s keeps idle connections open
// HEAD is answered too; other methods 405, other paths 404.
//
// What one client, or many, can hold is bounded (PageLimits): a request's whole head must come
// within its deadline (else 408 and the connection is closed), one address holds at most so many
// connections, all clients together so many, event streams so many. A client beyond a limit is
// answered 503 with Retry-After, and its connection is closed only after the answer has left and
// the client has had a moment to read it (no reset).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "station/board.h"

namespace velmora {

struct PageLimits {
  // Connections at once, event streams and the rest. Lowered at Start to what the process may
  // hold open, less a reserve for the station's own files.
  size_t connections = 2048;
  // Connections from one client address at once (IPv4 and IPv4-mapped IPv6 alike).
  size_t perAddress = 64;
  // Event streams at once, within the connections.
  size_t eventStreams = 256;
  // From the connect to the empty line that ends the request's head.
  std::chrono::milliseconds headDeadline{5'000};
  // A client that takes no byte of what it is sent for this long is closed.
  std::chrono::milliseconds stalled{60'000};
  // An event stream with nothing new gets a comment line this often.
  std::chrono::milliseconds keepAlive{15'000};
  // After its answer a connection is kept, reading and dropping what the client still sends,
  // until the client closes or this passes: closing with unread bytes would reset it.
  std::chrono::milliseconds linger{2'000};
  // The Retry-After of a 503, in seconds.
  int retryAfterS = 5;
};

class StationPage {
 public:
  explicit StationPage(const StationBoard& board, PageLimits limits = {});
  ~StationPage();
  StationPage(const StationPage&) = delete;
  StationPage& operator=(const StationPage&) = delete;

  // Serves on "[HOST:]PORT" (HOST 127.0.0.1 when left out; PORT 0: any free port). False with
  // "cannot serve the station page on ADDRESS: reason" in *why.
  bool Start(const std::string& address, std::string* why);
  // "http://HOST:PORT/" once started.
  std::string Url() const;
  // The limits in force once started (the connections after the process's own limit).
  const PageLimits& Limits() const { return limits_; }
  // Stops serving and closes every connection, once every event stream has taken the newest
  // snapshot or half a second has passed, whatever the clients do.
  void Stop();

  class Server;

 private:
  const StationBoard& board_;
  PageLimits limits_;
  std::string host_;
  int port_ = 0;
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

// The page itself: one HTML document.
const char* StationPageHtml();

}  // namespace velmora
