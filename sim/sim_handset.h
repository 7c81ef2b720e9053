// The simulated handset: a model that takes the bytes a host puts on the line, together with
// the line state they were sent with (baud rate, byte size, parity, DTR, RTS) and the time
// their last bit arrived, and produces its answers as bytes stamped with the time each one is
// complete on the line, paced at the handset's own baud rate and framing.
//
// It is strict the way a real handset is: a byte sent at the wrong baud rate or parity is
// line noise to it, the boot ROM only listens while DTR is high, and a request with a wrong
// byte gets no answer or a damaged-request status. The model does no waiting of its own and
// has no timers: every change that happens "later" (a service program starting, a busy
// handset's "P" replies) is decided by the time stamps, so it runs the same under a virtual
// clock, the real clock or a network server.
//
// Not thread-safe: one caller drives it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_profile.h"

namespace velmora::sim {

// How a byte is framed on the line.
struct LineFormat {
  uint32_t baudRate = 0;
  uint8_t byteSize = 8;
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space (the platform's codes)
  uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two

  friend bool operator==(const LineFormat&, const LineFormat&) = default;
};

// The host's side of the line: its framing and its modem-control outputs.
struct LineState {
  LineFormat format;
  bool dtr = false;
  bool rts = false;
};

// A receiver understands a byte when baud rate, byte size and parity agree; a receiver only
// looks at the first stop bit, so the stop bits do not matter.
bool SameCharacterFormat(const LineFormat& sender, const LineFormat& receiver);
// Time one byte of this framing takes on the line, in microseconds.
int64_t WireTimeUs(const LineFormat& f);

// One byte the handset put on the line: complete at timeUs, framed as format.
struct SimByte {
  int64_t timeUs = 0;
  uint8_t value = 0;
  LineFormat format;
};

struct SimStoredBlock {
  uint8_t version = 0;
  std::vector<uint8_t> data;  // the block's size is data.size()
};

// One area of the block store. Eelite is log-structured: every create costs size + 12 bytes
// that come back only when the whole area is erased; Eefull is rewritten in place.
struct SimStoreArea {
  std::map<uint16_t, SimStoredBlock> blocks;
  uint32_t capacity = 0;
  uint32_t consumed = 0;  // bytes used, live and dead
  int32_t lockedNumber = -1;  // the block between its create and its close, -1 none

  uint32_t LiveBytes() const;  // sum of size + 12 over the blocks
  uint32_t Free() const { return consumed >= capacity ? 0 : capacity - consumed; }
  uint32_t Garbage() const { return consumed - LiveBytes(); }
};


// The boot program the ROM expects: the 104-byte boot string with its parameters 7, 0x80, 1.
const std::vector<uint8_t>& ExpectedBootProgram();

// A profile whose `handsets` is more than 1 is a production line: as soon as a handset's
// service program has acknowledged a switch-off (the end of an update) and the handset has gone
// off, the operator takes it away and the port is silent, not even the boot ROM answers;
// next_after_ms later the next handset is on the line, a new one of the profile
// (SimProfile::ForHandset: its store, start state, faults and the next IMEI). After the last one
// the port stays silent. The line, the port and the counters belong to the port and carry on
// from handset to handset.
class SimHandset {
 public:
  // firstStore, when given, is what the first handset's store holds instead of the profile's
  // blocks (what a state file kept); the handsets after it hold the profile's.
  explicit SimHandset(const SimProfile& profile = SimProfile::Default(),
                      const std::vector<SimBlock>* firstStore = nullptr);

  // The host changed its line state at time t (DTR and RTS edges, baud rate, parity).
  void SetLine(const LineState& line, int64_t tUs);
  // A byte from the host whose last bit arrived at time t, sent with the given line state.
  void Receive(uint8_t byte, const LineState& line, int64_t tUs);
  // Lets the handset's own time run to t (a starting service program becomes ready).
  void AdvanceTo(int64_t tUs);

  // The handset's transmitter: bytes in the order they go out, with non-decreasing times.
  bool HasOutput() const { return !out_.empty(); }
  const SimByte& PeekOutput() const { return out_.front(); }
  void PopOutput() { out_.pop_front(); }
  // When the last byte queued so far is complete on the line (the end of the current answer).
  int64_t LastOutputUs() const { return out_.empty() ? INT64_MIN : out_.back().timeUs; }
  // Takes every byte complete at or before t.
  std::vector<SimByte> TakeOutput(int64_t uptoUs);
  // Forgets everything not yet delivered (the line went away).
  void DiscardOutput();

  // The port is exclusive: one open at a time, and never while the fault says it is held.
  bool AcquirePort();
  void ReleasePort();
  bool PortOpen() const { return portOpen_; }

  SimState state() const { return state_; }
  // The faults, profile and store are those of the handset on the line, or of the last one
  // taken away while none is.
  SimFaults& faults() { return profile_.faults; }
  const SimProfile& profile() const { return profile_; }
  const SimStoreArea& area(SimArea a) const { return a == SimArea::Eelite ? eelite_ : eefull_; }
  SimStoreArea& area(SimArea a) { return a == SimArea::Eelite ? eelite_ : eefull_; }
  // The format the handset's own receiver expects right now.
  LineFormat ReceiverFormat() const;

  // Counters for tests and the dump.
  uint64_t noiseBytes() const { return noiseBytes_; }
  // Service commands received with a valid check byte, by command code.
  int CommandCount(uint8_t code) const;
  uint64_t framesReceived() const { return framesReceived_; }
  // Counts every change of the block store, so that a keeper of its state knows when to save.
  uint64_t storeChanges() const { return storeChanges_; }
  // The block store as profile "block = AREA NUMBER VERSION DATA" lines: loaded over a profile
  // (its blocks cleared), it gives the same store.
  std::string StateText() const;
  // Block data chunks stored so far (what the corrupt fault counts).
  int chunkWrites() const { return chunkWrites_; }
  // The line went away (the drop fault): the port fails from then on.
  bool LineDropped() const { return lineDropped_; }

  // Text dump of the block store: a header per area, then one line per block:
  // AREA NUMBER SIZE VERSION HEXDATA
  std::string Dump() const;

  // The handset on the line, counted from 0; -1 while none is (from a switch-off to the
  // next handset, and after the last).
  int HandsetOnLine() const { return onLine_; }
  // The store, as Dump() wrote it when it went, of each handset taken away so far, in order.
  const std::vector<std::string>& takenAway() const { return takenAway_; }
  // When each of them was taken away (its switch-off acknowledged), in the same order.
  const std::vector<int64_t>& takenAwayUs() const { return takenAwayUs_; }
  // When the handset on the line (or the last one) was put there: next_after_ms after the one
  // before it was taken away; INT64_MIN for the first, which is there from the start.
  int64_t onLineSinceUs() const { return onLineSinceUs_; }
  // When the first service request (check byte good) reached this handset, INT64_MIN before.
  int64_t firstServiceUs() const { return firstServiceUs_; }
  // "handset K of N (IMEI ...)" for the k-th handset (k from 0), K counted from 1.
  std::string HandsetName(uint32_t k) const;
  // The stores of the sequence in order, each after a line "# HandsetName(k): taken away" or
  // "...: on the line"; with one handset just Dump().
  std::string DumpAll() const;

 private:
  // The k-th handset arrives holding `blocks`.
  void Connect(uint32_t k, const std::vector<SimBlock>& blocks);
  // The operator takes the handset away at t.
  void TakeAway(int64_t t);
  void Settle(int64_t t);
  void ResetParsers();
  void EnterState(SimState s);
  void Send(const std::vector<uint8_t>& bytes, int64_t t);
  void SendFrame(uint8_t type, const std::vector<uint8_t>& data, int64_t t);
  void OnBootRomByte(uint8_t b, const LineState& line, int64_t t);
  void OnBootBlockByte(uint8_t b, const LineState& line, int64_t t);
  void OnAtByte(uint8_t b, int64_t t);
  void OnFrameByte(uint8_t b, int64_t t);
  void OnFrame(uint8_t type, const std::vector<uint8_t>& data, int64_t t);
  void OnAtFrame(const std::vector<uint8_t>& data, int64_t at);
  // The one-byte requests (ping, mode, product number, switch-off, IMEI), answered at `at` as
  // the current state knows them.
  void OnShortRequest(uint8_t type, uint8_t request, int64_t at);
  void OnSwitchOff(int64_t t);
  void OnServiceMessage(const std::vector<uint8_t>& msg, int64_t t);
  // Runs a block-store command; returns the reply without its check byte.
  std::vector<uint8_t> Execute(uint8_t code, const uint8_t* p, size_t n, int64_t* extraDelayUs);
  // One function per block-store command, each given a request of the right length.
  struct StoreCommand;
  std::vector<uint8_t> CreateBlock(const StoreCommand& c);
  std::vector<uint8_t> WriteBlockChunk(const StoreCommand& c);
  std::vector<uint8_t> CloseBlock(const StoreCommand& c);
  std::vector<uint8_t> ReadBlockChunk(const StoreCommand& c);
  std::vector<uint8_t> BlockExists(const StoreCommand& c);
  std::vector<uint8_t> DeleteBlock(const StoreCommand& c);
  std::vector<uint8_t> GetMaxLogicalBlock(const StoreCommand& c);
  std::vector<uint8_t> GetMaxSpaceValues(const StoreCommand& c);
  std::vector<uint8_t> DeleteAllBlocks(const StoreCommand& c);
  std::vector<uint8_t> WriteBlockPart(const StoreCommand& c);
  uint8_t OpenBlock(const StoreCommand& c, SimStoredBlock** block);

  SimProfile base_;     // what every handset of the sequence is made from
  SimProfile profile_;  // the handset's own
  SimState state_ = SimState::SwitchedOff;
  SimStoreArea eelite_, eefull_;
  LineState line_;
  int64_t dtrLowSinceUs_ = 0;
  std::deque<SimByte> out_;
  int64_t txFreeUs_ = 0;
  bool portOpen_ = false;

  // boot ROM
  int bootLength_ = -1;  // -1: waiting for the length byte
  std::vector<uint8_t> bootBlock_;
  int64_t lastBootByteUs_ = 0;
  int64_t readyUs_ = 0;  // when the started service program listens

  // normal operation
  bool framesOn_ = false;  // after at^sqwe=1 / at^sqsb=1
  std::string atLine_;

  // frame receiver
  protocol::FrameDecoder rx_{protocol::kHandsetFrameRules};
  int64_t lastFrameByteUs_ = 0;

  int writebackCount_ = -1;  // -1: no DeleteAllBlocks seen yet
  int chunkWrites_ = 0;      // block data chunks stored, for the corrupt fault
  uint64_t storeChanges_ = 0;
  // True when the corrupt fault stores the n-th chunk (counted from 1) wrongly.
  bool Corrupts(int n) const {
    const SimFaults& f = profile_.faults;
    return f.corruptChunkAt > 0 && n >= f.corruptChunkAt &&
           (f.corruptChunkCount < 0 || n - f.corruptChunkAt < f.corruptChunkCount);
  }
  uint64_t noiseBytes_ = 0;
  uint64_t framesReceived_ = 0;
  std::map<uint8_t, int> commandCounts_;
  int serviceCommands_ = 0;  // with a good check byte, for the silent, power_off and drop faults
  bool silent_ = false;
  bool lineDropped_ = false;

  // the operator
  int onLine_ = 0;
  int64_t nextOnLineUs_ = 0;
  std::vector<std::string> takenAway_;
  std::vector<int64_t> takenAwayUs_;
  int64_t onLineSinceUs_ = INT64_MIN;
  int64_t firstServiceUs_ = INT64_MIN;
};

}  // namespace velmora::sim
