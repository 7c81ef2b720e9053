#include "update/handset_operations.h"

#include <string>

namespace velmora {
namespace {

// The IMEI goes into file names: digits and letters only, whatever the handset sent.
std::string SafeNamePart(const char* text) {
  std::string part;
  for (size_t i = 0; text[i] != '\0' && i < 32; ++i) {
    const char c = text[i];
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) part += c;
  }
  return part;
}

}  // namespace

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
  if (session_.ReadImei(session_.handle(), imei) == 0) return false;
  engine_.SetHandsetImei(SafeNamePart(imei));
  if (engine_.record() != nullptr) engine_.record()->imei = imei;
  return true;
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
                                             const uint32_t* flags, BlockFailure* failure) {
  return engine_.WriteMapBlocks(session_.handle(), blocks, info, flags, failure);
}

bool HandsetUpdateOperations::WriteMapVersion(const MapInfo& info) {
  return engine_.WriteMapVersion(session_.handle(), info);
}

bool HandsetUpdateOperations::RestoreBlocks(const std::vector<MapBlock>& blocks) {
  return engine_.RestoreBlocks(session_.handle(), blocks);
}

void HandsetUpdateOperations::CloseSession() { session_.CloseSession(session_.handle()); }

}  // namespace velmora
