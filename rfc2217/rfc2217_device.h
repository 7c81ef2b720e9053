// A serial port served over TCP by an RFC 2217 server (rfc2217://host:port): line settings,
// modem lines and purge travel as telnet COM-PORT-OPTION commands, data as binary telnet
// with 0xFF doubled. Writes are paced at the configured line speed, so the link above sees
// the same timing as on a local port.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/tcp_socket.h"
#include "rfc2217/telnet.h"

namespace velmora {

class Rfc2217Device final : public SerialDevice {
 public:
  struct Options {
    // Bound of the TCP connect, and of the telnet negotiation that follows it.
    uint32_t connectTimeoutMs = 3000;
    // Bound of the wait for the server's answer to a settings command.
    uint32_t ackTimeoutMs = 1000;
  };

  // address is what follows "rfc2217://": "host:port" or "[v6-address]:port". Null with a
  // reason in *error when the server cannot be reached or does not speak RFC 2217; *kind is
  // Permanent for a malformed address, an unknown host, a refused or unanswered connection and
  // a server without COM-PORT-OPTION, Busy for a server that connects but then falls silent
  // or hangs up (it may be serving another client).
  static std::unique_ptr<Rfc2217Device> Open(const std::string& address, Clock& clock,
                                             std::string* error, OpenFailure* kind = nullptr);
  static std::unique_ptr<Rfc2217Device> Open(const std::string& address, Clock& clock,
                                             std::string* error, const Options& options,
                                             OpenFailure* kind = nullptr);
  // Takes over a stream socket already connected to a server (one end of a socket pair, in the
  // fuzz targets and tests) and negotiates as Open does. The socket is closed on failure.
  static std::unique_ptr<Rfc2217Device> Adopt(int fd, Clock& clock, std::string* error,
                                              const Options& options);
  ~Rfc2217Device() override;
  Rfc2217Device(const Rfc2217Device&) = delete;
  Rfc2217Device& operator=(const Rfc2217Device&) = delete;

  bool SetConfig(const SerialConfig& config) override;
  bool GetConfig(SerialConfig* config) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  int Read(uint8_t* buffer, size_t n) override;
  int Write(const uint8_t* data, size_t n) override;
  bool SetDtr(bool high) override;
  bool SetRts(bool high) override;
  bool Purge() override;
  bool ClearErrors() override;

  // False once the connection is lost; every operation fails from then on.
  bool connected() const { return fd_ >= 0; }
  // The last line and modem states the server announced (0 until it does).
  uint8_t line_state() const { return lineState_; }
  uint8_t modem_state() const { return modemState_; }

 private:
  struct Reply {
    uint8_t code = 0;
    std::vector<uint8_t> value;
    size_t dataBefore = 0;  // received data bytes buffered when the reply came
  };
  struct Expect {
    uint8_t code;                // the server's reply code (command + 100)
    std::vector<uint8_t> value;  // the value it must carry; empty = any
    bool seen = false;
  };

  Rfc2217Device(SocketId fd, Clock& clock, const Options& options)
      : fd_(fd), clock_(clock), options_(options) {}

  bool Negotiate(std::string* error);
  // Sends COM-PORT-OPTION commands and waits until the server has answered every one.
  bool Command(const std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& commands,
               std::vector<Reply>* answers);
  bool SendAll(const std::vector<uint8_t>& bytes, const Deadline& deadline);
  // Waits up to waitUs for the socket, takes what is there and parses it.
  void Pump(int64_t waitUs);
  void Parse(const uint8_t* bytes, size_t n);
  void OnOption(uint8_t verb, uint8_t option);
  void OnSubnegotiation();
  void SendOption(uint8_t verb, uint8_t option);
  void Lose();
  size_t TakeData(uint8_t* buffer, size_t n);

  SocketId fd_;
  Clock& clock_;
  Options options_;
  SerialConfig config_;
  bool configured_ = false;
  SerialTimeouts timeouts_;
  bool dtr_ = false;
  bool rts_ = false;
  bool dtrKnown_ = false;
  bool rtsKnown_ = false;
  // The time the line has sent everything written so far.
  int64_t lineFreeAtUs_ = 0;

  std::deque<uint8_t> rx_;
  telnet::Decoder telnet_;
  std::array<uint8_t, 256> usState_{};    // our side of each telnet option
  std::array<uint8_t, 256> themState_{};  // the server's side
  bool comPortRefused_ = false;
  bool negotiationSilent_ = false;  // connected, but no telnet answer within the time-out
  std::vector<Reply> replies_;
  uint8_t lineState_ = 0;
  uint8_t modemState_ = 0;
};

}  // namespace velmora
