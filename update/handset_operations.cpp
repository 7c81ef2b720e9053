#include "update/handset_operations.h"

namespace velmora {

HandsetUpdateOperations::HandsetUpdateOperations(HandsetSession& session, BlockStore& store,
                                                 Reporting& reporting)
    : session_(session),
      engine_(store, reporting, [&session](LinkHandle h, uint16_t* product) {
        return session.ReadProductId(h, product);
      }) {}

bool HandsetUpdateOperations::Connect() { return session_.Connect(); }

bool HandsetUpdateOperations::ReadImei(char* imei) {
  if (imei == nullptr) return false;
  // The run's buffer holds 100 characters; the session stores at most 15 and a zero.
  imei[0] = '\0';
  return session_.ReadImei(session_.handle(), imei) != 0;
}

void HandsetUpdateOperations::SelectBlocks(uint32_t* flags, const MapBlock* blocks,
                                           const MapInfo& info) {
  velmora::SelectBlocks(flags, blocks, info);
}

bool HandsetUpdateOperations::CheckProduct(const MapInfo& info) {
  return engine_.CheckProduct(session_.handle(), info);
}

uint16_t HandsetUpdateOperations::HardwareProduct() const { return engine_.HardwareProduct(); }

bool HandsetUpdateOperations::WriteMapBlocks(MapBlock* blocks, const MapInfo& info,
                                             const uint32_t* flags) {
  return engine_.WriteMapBlocks(session_.handle(), blocks, info, flags);
}

bool HandsetUpdateOperations::WriteMapVersion(const MapInfo& info) {
  return engine_.WriteMapVersion(session_.handle(), info);
}

void HandsetUpdateOperations::CloseSession() { session_.CloseSession(session_.handle()); }

}  // namespace velmora
