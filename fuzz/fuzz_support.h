// Small pieces the fuzz targets share: a reporting sink that only keeps the log, and a user
// interaction that answers every box with OK.
#pragma once

#include <cstdint>
#include <string>

#include "update/reporting.h"
#include "platform/user_interaction.h"

namespace velmora::fuzz {

class NullReporting : public Reporting {
 public:
  MessageBuffer& Message() override { return message_; }
  void Log(const std::string& text) override { log_ += text; }
  void RefreshLog() override {}
  void FlushMessage(MessageBuffer& buffer) override {
    Log(buffer.c_str());
    buffer.Clear();
  }
  int WarnMessage(MessageBuffer& buffer) override {
    if (buffer.empty()) return 0;
    FlushMessage(buffer);
    return 1;
  }
  void ShowProgress(const char*, uint32_t, uint32_t, uint32_t) override {}
  const std::string& log() const { return log_; }

 private:
  MessageBuffer message_;
  std::string log_;
};

class SilentUser : public UserInteraction {
 public:
  int ShowMessageBox(const std::string&, MessageIcon) override { return 1; }
};

}  // namespace velmora::fuzz
