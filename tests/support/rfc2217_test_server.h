// A small RFC 2217 server on 127.0.0.1 for the tests and benchmarks of the client: it confirms
// COM-PORT-OPTION, answers settings commands (or stays silent when told to), records what the
// client sent, and can echo link frames back paced at the line speed, as a handset would answer.
// Test machinery only: one client at a time, one thread, every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

class TestRfc2217Server {
 public:
  struct Options {
    bool confirmComPort = true;   // answer our WILL COM-PORT-OPTION with DO
    bool refuseComPort = false;   // answer it with DONT
    bool answerCommands = true;   // acknowledge settings commands
    // Echo each complete link frame (type, length, check, data) back once it and its answer
    // would have crossed a line at the client's baud rate.
    bool frameEcho = false;
  };

  explicit TestRfc2217Server(Options options) : options_(options) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 4);
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestRfc2217Server() {
    stop_ = true;
    thread_.join();
    Drop();
    close(listen_);
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Raw bytes (already in telnet form) to the client, now.
  void SendRaw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    size_t sent = 0;
    while (client_ >= 0 && sent < bytes.size()) {
      const ssize_t r = send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (r <= 0) break;
      sent += static_cast<size_t>(r);
    }
  }
  // Closes the client's connection.
  void Drop() {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (client_ >= 0) {
      shutdown(client_, SHUT_RDWR);
      close(client_);
      client_ = -1;
    }
  }
  void set_answer_commands(bool on) { options_.answerCommands = on; }

  // What the client has sent so far.
  std::vector<uint8_t> data() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return data_;
  }
  std::vector<std::vector<uint8_t>> commands() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return commands_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds = {{listen_, POLLIN, 0}};
      int client;
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        client = client_;
      }
      if (client >= 0) fds.push_back({client, POLLIN, 0});
      // Short, so that a stop is seen soon; exact, so that a due paced answer goes out on time.
      auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(20));
      if (!pending_.empty()) {
        const auto untilDue = pending_.front().due - Clock::now();
        if (untilDue <= std::chrono::nanoseconds(0)) {
          SendRaw(pending_.front().bytes);
          pending_.erase(pending_.begin());
          continue;
        }
        wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(untilDue));
      }
      const timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000),
                        static_cast<long>(wait.count() % 1'000'000'000)};
      if (ppoll(fds.data(), fds.size(), &ts, nullptr) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          Drop();
          const int one = 1;
          setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          {
            std::lock_guard<std::mutex> lock(sendMutex_);
            client_ = c;
          }
          state_ = 0;
          pending_.clear();
          if (options_.confirmComPort) SendRaw({255, 253, 44});
          if (options_.refuseComPort) SendRaw({255, 254, 44});
        }
        continue;
      }
      if (fds.size() > 1 && fds[1].revents) {
        uint8_t buffer[4096];
        const ssize_t r = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (r <= 0) {
          Drop();
          continue;
        }
        for (ssize_t i = 0; i < r; ++i) Take(buffer[i]);
      }
    }
  }

  void Take(uint8_t b) {
    switch (state_) {
      case 0:
        if (b == 255) state_ = 1; else Data(b);
        break;
      case 1:
        if (b == 255) { Data(255); state_ = 0; }
        else if (b == 250) { sub_.clear(); state_ = 3; }
        else if (b >= 251) state_ = 2;
        else state_ = 0;
        break;
      case 2: state_ = 0; break;  // option verbs: taken as they come
      case 3:
        if (b == 255) state_ = 4; else sub_.push_back(b);
        break;
      case 4:
        if (b == 240) { Command(); state_ = 0; }
        else { sub_.push_back(b); state_ = 3; }
        break;
    }
  }

  void Command() {
    if (sub_.size() < 2 || sub_[0] != 44) return;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      commands_.push_back(std::vector<uint8_t>(sub_.begin() + 1, sub_.end()));
    }
    const uint8_t cmd = sub_[1];
    if (cmd == 1 && sub_.size() >= 6) {
      const uint32_t b = (uint32_t{sub_[2]} << 24) | (uint32_t{sub_[3]} << 16) | (uint32_t{sub_[4]} << 8) | sub_[5];
      if (b) baud_ = b;
    }
    if (!options_.answerCommands) return;
    std::vector<uint8_t> reply = {255, 250, 44, static_cast<uint8_t>(cmd + 100)};
    std::vector<uint8_t> value(sub_.begin() + 2, sub_.end());
    if (cmd == 1) value = {static_cast<uint8_t>(baud_ >> 24), static_cast<uint8_t>(baud_ >> 16),
                           static_cast<uint8_t>(baud_ >> 8), static_cast<uint8_t>(baud_)};
    else if (!value.empty() && value[0] == 0) value[0] = cmd == 2 ? 8 : 1;  // requests: 8N1
    for (uint8_t v : value) {
      reply.push_back(v);
      if (v == 255) reply.push_back(255);
    }
    reply.insert(reply.end(), {255, 240});
    SendRaw(reply);
  }

  void Data(uint8_t b) {
    const auto now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      data_.push_back(b);
    }
    if (!options_.frameEcho) return;
    // The byte occupies the modelled line after the one before it.
    const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / baud_);  // 8N1
    rxLineFree_ = std::max(rxLineFree_, now) + byteTime;
    frame_.push_back(b);
    if (frame_.size() >= 3 && frame_.size() == 3u + frame_[1]) {
      std::vector<uint8_t> out;
      for (uint8_t v : frame_) {
        out.push_back(v);
        if (v == 255) out.push_back(255);
      }
      // The whole answer reaches the client when its last byte would have.
      pending_.push_back({rxLineFree_ + byteTime * static_cast<int64_t>(frame_.size()), out});
      frame_.clear();
    }
  }

  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };

  Options options_;
  int listen_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex sendMutex_;
  std::mutex stateMutex_;
  int state_ = 0;
  std::vector<uint8_t> sub_;
  std::vector<uint8_t> data_;
  std::vector<std::vector<uint8_t>> commands_;
  uint32_t baud_ = 9600;
  Clock::time_point rxLineFree_{};
  std::vector<uint8_t> frame_;
  std::vector<Pending> pending_;
};

}  // namespace velmora::testing
