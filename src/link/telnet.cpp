#include "link/telnet.h"

namespace quelmar::link::telnet {

void Decoder::AfterIac(uint8_t b, std::vector<uint8_t>* data, std::vector<Event>* events) {
  state_ = State::kData;
  if (b == kIac) {
    data->push_back(kIac);
  } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
    verb_ = b;
    state_ = State::kVerb;
  } else if (b == kSb) {
    state_ = State::kSbOption;
  } else if (b != kSe) {  // a stray SE ends nothing: dropped
    events->push_back(Event{Event::Kind::kCommand, b, {}, data->size()});
  }
}

void Decoder::Feed(const uint8_t* received, size_t n, std::vector<uint8_t>* data,
                   std::vector<Event>* events) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = received[i];
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kAfterIac;
        } else {
          data->push_back(b);
        }
        break;
      case State::kAfterIac:
        AfterIac(b, data, events);
        break;
      case State::kVerb: {
        Event::Kind kind = verb_ == kWill   ? Event::Kind::kPeerWill
                           : verb_ == kWont ? Event::Kind::kPeerWont
                           : verb_ == kDo   ? Event::Kind::kPeerDo
                                            : Event::Kind::kPeerDont;
        events->push_back(Event{kind, b, {}, data->size()});
        state_ = State::kData;
        break;
      }
      case State::kSbOption:
        sub_ = Event{Event::Kind::kSubnegotiation, b, {}};
        sub_cut_ = false;
        state_ = State::kSbData;
        break;
      case State::kSbData:
        if (b == kIac) {
          state_ = State::kSbIac;
        } else if (sub_.payload.size() < kMaxSubnegotiation) {
          sub_.payload.push_back(b);
        } else {
          sub_cut_ = true;
        }
        break;
      case State::kSbIac:
        if (b == kIac) {
          if (sub_.payload.size() < kMaxSubnegotiation) {
            sub_.payload.push_back(kIac);
          } else {
            sub_cut_ = true;
          }
          state_ = State::kSbData;
          break;
        }
        // A cut subnegotiation is garbage, not a command to act on.
        if (!sub_cut_) {
          sub_.at = data->size();
          events->push_back(std::move(sub_));
        }
        sub_ = Event{};
        state_ = State::kData;
        // IAC and something else inside a subnegotiation: the peer forgot
        // the SE. The subnegotiation ends and the command is taken as one.
        if (b != kSe) AfterIac(b, data, events);
        break;
    }
  }
}

void AppendEscaped(const uint8_t* data, size_t n, std::vector<uint8_t>* out) {
  for (size_t i = 0; i < n; ++i) {
    out->push_back(data[i]);
    if (data[i] == kIac) out->push_back(kIac);
  }
}

void AppendOption(uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  out->insert(out->end(), {kIac, verb, option});
}

void AppendSubnegotiation(uint8_t option, const std::vector<uint8_t>& payload,
                          std::vector<uint8_t>* out) {
  out->insert(out->end(), {kIac, kSb});
  AppendEscaped(&option, 1, out);
  AppendEscaped(payload.data(), payload.size(), out);
  out->insert(out->end(), {kIac, kSe});
}

void AppendComPortCommand(uint8_t command, uint32_t value, std::vector<uint8_t>* out) {
  std::vector<uint8_t> payload{command};
  if (command == kSetBaudRate || command == kSetBaudRate + kServerOffset) {
    payload.insert(payload.end(),
                   {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
  } else {
    payload.push_back(static_cast<uint8_t>(value));
  }
  AppendSubnegotiation(kOptComPort, payload, out);
}

}  // namespace quelmar::link::telnet
