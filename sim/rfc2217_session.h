// One client of velmora-sim: the telnet and COM-PORT-OPTION side of a connection, with the
// line between it and the handset paced at the line's baud rate and framing. No sockets
// here: the server feeds what it received with the time it came, sends what TakeNetworkOutput
// hands back, and calls Pump whenever NextDueUs has come.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "rfc2217/telnet.h"
#include "sim/sim_handset.h"

namespace velmora::sim {

class Rfc2217Session {
 public:
  // The handset's port must have been acquired by the caller.
  Rfc2217Session(SimHandset& handset, int64_t nowUs);
  ~Rfc2217Session();
  Rfc2217Session(const Rfc2217Session&) = delete;
  Rfc2217Session& operator=(const Rfc2217Session&) = delete;

  // Bytes from the client, received at now.
  void OnNetworkBytes(const uint8_t* data, size_t n, int64_t nowUs);
  // Moves everything due by now: host bytes to the handset, handset bytes to the client.
  void Pump(int64_t nowUs);
  // The earliest time Pump has work, or INT64_MAX.
  int64_t NextDueUs() const;
  // Bytes for the client, taken out of the session.
  std::string TakeNetworkOutput();
  size_t PendingNetworkOutput() const { return netOut_.size(); }

  const LineState& line() const { return line_; }
  uint64_t noiseBytes() const { return noiseBytes_; }

 private:
  struct HostEvent {
    int64_t dueUs;
    bool isByte;
    uint8_t byte;
    LineState line;
  };

  void SendOption(uint8_t command, uint8_t option);
  void OnNegotiation(uint8_t command, uint8_t option);
  void OnSubnegotiation();
  void Reply(uint8_t code, const std::vector<uint8_t>& value);
  void OnDataByte(uint8_t b, int64_t now);
  void ChangeLine(const LineState& next, int64_t now);
  void OnPurge(uint8_t what, int64_t now);

  SimHandset& handset_;
  std::string netOut_;
  telnet::Decoder telnet_;
  // Telnet option states, for the options we support: ours and theirs, enabled and asked.
  bool we_[256] = {}, they_[256] = {}, weAsked_[256] = {}, theyAsked_[256] = {};

  std::deque<HostEvent> pending_;  // host bytes and line changes on their way to the handset
  LineState line_;          // what the line is now (the handset side of the queue)
  LineState queuedLine_;    // what it will be once the queue has gone out
  int64_t hostLineFreeUs_ = 0;
  uint64_t noiseBytes_ = 0;
  // Set while one subnegotiation is handled, acted on once it is answered.
  uint8_t purgeRequest_ = 0;
  std::optional<LineState> lineChange_;
};

}  // namespace velmora::sim
