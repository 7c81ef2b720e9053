// An in-memory block store for the engine's tests: two areas of blocks, a settable free space
// and highest logical block, a journal of every call, and fault switches that make chosen
// calls fail with a chosen status code.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "update/reporting.h"
#include "handset/block_store.h"
#include "mapfile/mapfile.h"
#include "support/map_blocks.h"

namespace velmora::testing {

class FakeBlockStore : public BlockStore {
 public:
  enum class Op {
    Create, Write, Read, Delete, Exists, MaxLogical, MaxSpace, DeleteAll, ReadPart, WritePart
  };

  struct Block {
    uint8_t version = 0;
    std::vector<uint8_t> data;
  };

  struct Call {
    Op op;
    StoreArea area = StoreArea::Eelite;
    uint16_t number = 0;
    uint16_t size = 0;      // Create/Write: size; ReadPart/WritePart: count
    uint16_t offset = 0;    // ReadPart/WritePart
    uint8_t version = 0;
    std::vector<uint8_t> bytes = {};  // Write/WritePart: the bytes sent
  };

  // Fault hook: called for every call after it is journalled; a non-zero result makes the call
  // fail with that status code. `ordinal` counts calls of the same op from 1.
  using Fault = std::function<uint32_t(const Call& call, int ordinal)>;

  // Fails the ordinal-th call of op (1-based) with status.
  void FailNth(Op op, int ordinal, uint32_t status) {
    AddFault([=](const Call& c, int n) { return c.op == op && n == ordinal ? status : 0u; });
  }
  // Fails every call of op with status.
  void FailAll(Op op, uint32_t status) {
    AddFault([=](const Call& c, int) { return c.op == op ? status : 0u; });
  }
  void AddFault(Fault fault) { faults_.push_back(std::move(fault)); }

  std::map<uint16_t, Block>& area(StoreArea a) { return a == StoreArea::Eelite ? lite_ : full_; }
  void Put(StoreArea a, uint16_t number, std::vector<uint8_t> data, uint8_t version = 0) {
    area(a)[number] = Block{version, std::move(data)};
  }

  uint32_t freeSpace = 100000;
  uint32_t freeSpaceAfterErase = 100000;
  uint16_t maxLogical = 0;
  uint32_t lastStatus = kStatusOk;
  std::vector<Call> journal;

  std::vector<Op> Ops() const {
    std::vector<Op> ops;
    for (const Call& c : journal) ops.push_back(c.op);
    return ops;
  }
  int Count(Op op) const {
    int n = 0;
    for (const Call& c : journal) n += c.op == op;
    return n;
  }

  // --- BlockStore ---
  int CreateBlock(LinkHandle, StoreArea a, uint16_t number, uint16_t size,
                  uint8_t version) override {
    if (!Enter({Op::Create, a, number, size, 0, version})) return 0;
    area(a)[number] = Block{version, std::vector<uint8_t>(size, 0)};
    return 1;
  }
  int WriteBlock(LinkHandle, StoreArea a, uint16_t number, uint16_t size, uint8_t version,
                 const uint8_t* data) override {
    std::vector<uint8_t> bytes(data, data + size);
    if (!Enter({Op::Write, a, number, size, 0, version, bytes})) return 0;
    area(a)[number] = Block{version, std::move(bytes)};
    return 1;
  }
  int ReadBlock(LinkHandle, StoreArea a, uint16_t number, uint16_t* size, uint8_t* version,
                uint8_t* data, uint32_t room) override {
    if (!Enter({Op::Read, a, number})) return 0;
    auto it = area(a).find(number);
    if (it == area(a).end()) return Fail(kStatusNoBlock);
    if (it->second.data.size() > room) return Fail(kStatusBlockTooSmall);
    *size = static_cast<uint16_t>(it->second.data.size());
    *version = it->second.version;
    if (!it->second.data.empty()) std::memcpy(data, it->second.data.data(), it->second.data.size());
    return 1;
  }
  int DeleteBlock(LinkHandle, StoreArea a, uint16_t number) override {
    if (!Enter({Op::Delete, a, number})) return 0;
    if (area(a).erase(number) == 0) return Fail(kStatusNoBlock);
    return 1;
  }
  int BlockExists(LinkHandle, StoreArea a, uint16_t number, uint16_t* size,
                  uint8_t* version) override {
    if (!Enter({Op::Exists, a, number})) return 0;
    auto it = area(a).find(number);
    if (it == area(a).end()) return Fail(kStatusNoBlock);
    *size = static_cast<uint16_t>(it->second.data.size());
    *version = it->second.version;
    return 1;
  }
  int GetMaxLogicalBlock(LinkHandle, uint16_t* number) override {
    *number = 0;
    if (!Enter({Op::MaxLogical})) return 0;
    *number = maxLogical;
    return 1;
  }
  int GetMaxSpaceValues(LinkHandle, uint32_t* free, uint32_t* second) override {
    if (!Enter({Op::MaxSpace})) return 0;
    *free = freeSpace;
    *second = 0;
    return 1;
  }
  int DeleteAllBlocks(LinkHandle) override {
    if (!Enter({Op::DeleteAll})) return 0;
    lite_.clear();
    freeSpace = freeSpaceAfterErase;
    return 1;
  }
  int ReadBlockPart(LinkHandle, StoreArea a, uint16_t number, uint16_t offset, uint16_t count,
                    uint8_t* data) override {
    if (!Enter({Op::ReadPart, a, number, count, offset})) return 0;
    auto it = area(a).find(number);
    if (it == area(a).end()) return Fail(kStatusNoBlock);
    if (offset + count > it->second.data.size()) return 0;
    std::memcpy(data, it->second.data.data() + offset, count);
    return count;
  }
  int WriteBlockPart(LinkHandle, StoreArea a, uint16_t number, uint16_t offset, uint16_t count,
                     const uint8_t* data) override {
    std::vector<uint8_t> bytes(data, data + count);
    if (!Enter({Op::WritePart, a, number, count, offset, 0, bytes})) return 0;
    auto it = area(a).find(number);
    if (it == area(a).end()) return Fail(kStatusNoBlock);
    if (offset + count > it->second.data.size()) return Fail(kStatusBlockTooSmall);
    std::memcpy(it->second.data.data() + offset, data, count);
    return count;
  }
  uint32_t LastBlockStoreStatus() const override { return lastStatus; }

 private:
  // Journals the call and applies the fault switches; false when the call is to fail.
  bool Enter(Call call) {
    const int ordinal = ++ordinals_[call.op];
    journal.push_back(call);
    for (const Fault& fault : faults_) {
      if (uint32_t status = fault(journal.back(), ordinal); status != 0) {
        lastStatus = status;
        return false;
      }
    }
    return true;
  }
  int Fail(uint32_t status) {
    lastStatus = status;
    return 0;
  }

  std::map<uint16_t, Block> lite_;
  std::map<uint16_t, Block> full_;
  std::map<Op, int> ordinals_;
  std::vector<Fault> faults_;
};

// A recording reporting service: the log text, every progress call and every warning.
class RecordingReporting : public Reporting {
 public:
  struct Progress {
    std::string text;
    uint32_t low;
    uint32_t high;
    uint32_t position;
    bool operator==(const Progress&) const = default;
  };

  MessageBuffer& Message() override { return buffer; }
  void Log(const std::string& text) override { log += text; }
  void RefreshLog() override {}
  void FlushMessage(MessageBuffer& b) override {
    if (b.empty()) return;
    log += b.c_str();
    b.Clear();
  }
  int WarnMessage(MessageBuffer& b) override {
    if (b.empty()) return 0;
    log += b.c_str();
    warnings.emplace_back(b.c_str());
    b.Clear();
    return 1;
  }
  void ShowProgress(const char* text, uint32_t low, uint32_t high, uint32_t position) override {
    progress.push_back({text ? text : "", low, high, position});
  }

  MessageBuffer buffer;
  std::string log;
  std::vector<std::string> warnings;
  std::vector<Progress> progress;
};

// A map block whose data bytes count up from 1, so that a byte out of place shows.
inline MapBlock MakeBlock(int32_t number, uint8_t area, uint8_t operation, int32_t size,
                          uint8_t version = 3) {
  return MakeMapBlock(number, area, operation, version, CountingBytes(static_cast<size_t>(size)));
}

}  // namespace velmora::testing
