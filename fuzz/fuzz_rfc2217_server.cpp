// velmora-sim's side of a connection: the telnet and COM-PORT-OPTION session and the simulated
// handset behind it, against a client that sends the fuzz bytes. The input arrives in bursts
// at virtual times; the session is pumped whenever it has work due, as the server loop does.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/rfc2217_session.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"

using velmora::sim::Rfc2217Session;
using velmora::sim::SimHandset;
using velmora::sim::SimProfile;
using velmora::sim::SimState;

namespace {

// Runs every event due by now; a session that never stops having work is a fault.
void PumpUntil(Rfc2217Session& session, int64_t now) {
  for (int i = 0; session.NextDueUs() <= now; ++i) {
    if (i > 1'000'000) __builtin_trap();
    session.Pump(now);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  SimProfile profile = SimProfile::Default();
  static const SimState kStates[] = {SimState::SwitchedOff, SimState::RunningNormally,
                                     SimState::ServiceMode};
  profile.startState = kStates[in.ConsumeIntegralInRange<int>(0, 2)];
  profile.atEcho = in.ConsumeBool();
  SimHandset handset(profile);
  if (!handset.AcquirePort()) __builtin_trap();
  {
    int64_t now = 0;
    Rfc2217Session session(handset, now);
    size_t output = 0;
    while (in.remaining_bytes() > 0) {
      now += in.ConsumeIntegralInRange<int64_t>(0, 255) * 1'000;
      const std::vector<uint8_t> burst = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 64));
      PumpUntil(session, now);
      session.OnNetworkBytes(burst.data(), burst.size(), now);
      PumpUntil(session, now);
      output += session.TakeNetworkOutput().size();
    }
    // Let what is on its way go out, however slow the line was set.
    PumpUntil(session, INT64_MAX / 4);
    output += session.TakeNetworkOutput().size();
    (void)output;
  }
  handset.ReleasePort();
  return 0;
}
