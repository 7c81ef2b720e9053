// The station's live page: a read-only web page of every port, served from the station's
// StationBoard on a thread of its own. One thread serves every client over non-blocking
// sockets, so a client that stops reading holds no thread and never slows the station: the
// board is only ever read, and an event-stream client that has not taken its last snapshot is
// handed the newest one once it has, with nothing queued in between.
//
//   GET /        the page (HTML with its style and script inline: factories are often offline)
//   GET /state   the board's snapshot as JSON
//   GET /events  Server-Sent Events: the snapshot at once, then each new one; a comment line
//                every 15 s keeps idle connections open
// HEAD is answered too; other methods 405, other paths 404.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/tcp_socket.h"
#include "station/board.h"

namespace velmora {

class StationPage {
 public:
  // Event-stream clients served at once; one more is answered 503.
  static constexpr size_t kMaxEventClients = 64;
  // All connections at once (event streams and the rest); one more is answered 503.
  static constexpr size_t kMaxConnections = 2 * kMaxEventClients;

  explicit StationPage(const StationBoard& board);
  ~StationPage();
  StationPage(const StationPage&) = delete;
  StationPage& operator=(const StationPage&) = delete;

  // Serves on "[HOST:]PORT" (HOST 127.0.0.1 when left out; PORT 0: any free port). False with
  // "cannot serve the station page on ADDRESS: reason" in *why.
  bool Start(const std::string& address, std::string* why);
  // "http://HOST:PORT/" once started.
  std::string Url() const;
  // Stops serving and closes every connection; returns within a tick of the serving loop.
  void Stop();

 private:
  void Serve();

  const StationBoard& board_;
  SocketId listener_ = kNoSocket;
  std::string host_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The page itself: one HTML document.
const char* StationPageHtml();

}  // namespace velmora
