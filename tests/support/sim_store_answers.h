// The simulated handset's block store answering service messages one at a time, for the tests
// that script the line message by message: a store that answers as the simulated handset does,
// instead of a second model of it.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"

namespace velmora::testing {

class SimStoreAnswers {
 public:
  using Bytes = std::vector<uint8_t>;

  SimStoreAnswers() : handset_(ServiceProfile()) {}

  // A block in the store before the test starts.
  void Put(sim::SimArea area, uint16_t number, Bytes data, uint8_t version) {
    sim::SimStoreArea& a = handset_.area(area);
    a.consumed += static_cast<uint32_t>(data.size()) + protocol::kBlockOverhead;
    a.blocks[number] = sim::SimStoredBlock{version, std::move(data)};
  }
  const sim::SimStoredBlock& Block(sim::SimArea area, uint16_t number) {
    return handset_.area(area).blocks[number];
  }

  // The frames the handset answers the message with (its check byte included), as one burst.
  std::vector<Bytes> Answer(const Bytes& message) {
    // Each message well apart from the one before, as the host's exchanges are.
    nowUs_ += 1'000'000;
    const sim::LineState line{handset_.ReceiverFormat(), false, true};
    for (uint8_t b : protocol::FrameBytes(protocol::kFrameService, message))
      handset_.Receive(b, line, nowUs_);
    Bytes reply;
    for (const sim::SimByte& b : handset_.TakeOutput(INT64_MAX)) reply.push_back(b.value);
    if (reply.empty()) return {};
    return {reply};
  }

 private:
  static sim::SimProfile ServiceProfile() {
    sim::SimProfile p = sim::SimProfile::Default();
    p.startState = sim::SimState::ServiceMode;
    p.blocks.clear();
    return p;
  }
  sim::SimHandset handset_;
  int64_t nowUs_ = 0;
};

}  // namespace velmora::testing
