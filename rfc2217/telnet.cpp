#include "rfc2217/telnet.h"

namespace velmora::telnet {

void Decoder::Keep(uint8_t b) {
  if (sub_.size() < kMaxSubnegotiation) sub_.push_back(b);
  else subOverflow_ = true;
}

Decoder::Event Decoder::Process(uint8_t b) {
  switch (state_) {
    case State::Data:
      if (b == kIac) {
        state_ = State::Iac;
        return Event::None;
      }
      data_ = b;
      return Event::Data;
    case State::Iac:
      state_ = State::Data;
      if (b == kIac) {
        data_ = b;
        return Event::Data;
      }
      if (b == kWill || b == kWont || b == kDo || b == kDont) {
        verb_ = b;
        state_ = State::Option;
      } else if (b == kSb) {
        sub_.clear();
        subOverflow_ = false;
        state_ = State::Sub;
      }
      return Event::None;
    case State::Option:
      data_ = b;
      state_ = State::Data;
      return Event::Option;
    case State::Sub:
      if (b == kIac) state_ = State::SubIac;
      else Keep(b);
      return Event::None;
    case State::SubIac:
      if (b == kIac) {
        Keep(b);
        state_ = State::Sub;
        return Event::None;
      }
      state_ = State::Data;
      return b == kSe && !subOverflow_ ? Event::Subnegotiation : Event::None;
  }
  return Event::None;
}

}  // namespace velmora::telnet
