#include "link/net_port.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <deque>
#include <mutex>
#include <vector>

#include "common/deadline.h"
#include "link/port_presence.h"
#include "link/telnet.h"

namespace quelmar::link {
namespace {

namespace tn = telnet;

constexpr uint32_t kBaud = 115200;
constexpr uint8_t kDataBits = 8;

// Where we stand on one telnet option, for one side.
enum class OptionState : uint8_t { kNo, kWantYes, kYes, kRefused };

// What is kept of data nobody has read yet, as a serial port's input buffer
// keeps it: the rest is dropped, so a server that floods (a port that
// streams, named rfc2217:// by mistake, while the options are settled)
// cannot take the memory. A reply the link waits for is far smaller.
constexpr size_t kInboxLimit = 64 * 1024;

// ser2net's words to a client it turns away ("Port already in use").
constexpr std::string_view kInUse = "in use";

bool ContainsNoCase(std::string_view text, std::string_view word) {
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  return std::search(text.begin(), text.end(), word.begin(), word.end(), same) != text.end();
}

class NetSerialPort final : public SerialPort {
 public:
  NetSerialPort(std::unique_ptr<TcpStream> stream, PortUrl url, NetTimings timings)
      : stream_(std::move(stream)), url_(std::move(url)), timings_(timings) {}

  // Telnet negotiation of an rfc2217 port and the line's set-up (115200
  // 8N1, no flow control); on failure *failure says why.
  bool Negotiate(OpenResult* failure);
  // A raw port's server that takes one client a port says so to the second
  // and closes at once: the first moment is watched for that.
  bool CheckRawWelcome(OpenResult* failure);

  bool GetCommState() override { return !HungUp(); }
  // The line was set up at open, where a refusal can be said in words.
  bool SetCommState() override { return !HungUp(); }
  // An rfc2217 server sets its line anew; a raw port's server keeps the
  // speed it was set up with.
  bool SetBaudRate(uint32_t baud) override { return Telnet() ? Configure(baud) : !HungUp(); }
  bool SetCommTimeouts(const ReadTimeouts& timeouts) override {
    per_byte_ms_.store(timeouts.per_byte_ms, std::memory_order_relaxed);
    constant_ms_.store(timeouts.constant_ms, std::memory_order_relaxed);
    return true;
  }
  bool Purge(uint32_t mask) override;
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override;
  uint32_t Read(uint8_t* buffer, uint32_t n) override;
  bool HungUp() const override { return hung_up_.load(std::memory_order_acquire); }

 private:
  bool Telnet() const { return url_.kind == PortUrl::Kind::kRfc2217; }
  // The connection can no longer be trusted (or is gone): every call fails
  // from now on, and the owner drops the port and opens it anew.
  void Break() { hung_up_.store(true, std::memory_order_release); }
  // How long a read of n bytes may take, by the read time-outs.
  std::chrono::milliseconds ReadBudget(uint32_t n) const {
    return std::chrono::milliseconds(uint64_t{per_byte_ms_.load(std::memory_order_relaxed)} * n +
                                     constant_ms_.load(std::memory_order_relaxed));
  }
  // Appends received data to the inbox, up to its limit (under state_mutex_).
  void Keep(const uint8_t* from, const uint8_t* to);
  // Receives once, waiting at most timeout_ms, and sorts what came into data
  // and events. False once the connection is gone. Caller holds receive_mutex_.
  bool Pump(int timeout_ms);
  // Everything already received, without waiting. Caller holds receive_mutex_.
  void Drain();
  void HandleEvent(const tn::Event& event);
  void HandleOption(const tn::Event& event);
  // Sends all bytes within the write stall limit; false otherwise, and the
  // connection broken when it failed or stalled part-way. *sent receives
  // the count that went.
  bool SendAll(const std::vector<uint8_t>& bytes, size_t* sent = nullptr);
  bool SendBytes(const std::vector<uint8_t>& bytes) { return SendAll(bytes); }
  // Pumps until done() or the deadline; false when the deadline passed or
  // the connection closed first.
  template <typename Done>
  bool PumpUntil(const Deadline& deadline, Done done);
  // The telnet options; empty when settled as we need them, else the line
  // that says what went wrong.
  std::string NegotiateOptions();
  // Sends the line settings and checks the answers; false when the server
  // refused one or the connection ended.
  bool Configure(uint32_t baud = kBaud);
  // Whether the server said it turned us away before it took us on.
  bool TurnedAway();

  std::unique_ptr<TcpStream> stream_;
  const PortUrl url_;
  const NetTimings timings_;

  std::mutex send_mutex_;     // one writer on the stream at a time
  std::mutex receive_mutex_;  // one reader, and the decoder with it
  tn::Decoder decoder_;
  std::vector<uint8_t> raw_;  // scratch, under receive_mutex_

  // Under state_mutex_: received data not yet read, when each purge's
  // acknowledgement is due (oldest first), and the option states.
  std::mutex state_mutex_;
  std::deque<uint8_t> inbox_;
  std::deque<Deadline> purge_answers_due_;
  OptionState us_[256] = {};
  OptionState him_[256] = {};
  bool telnet_seen_ = false;
  // ser2net sends its telnet offer to every client, the one it turns away
  // included, so the offer says nothing; the server has taken us on once it
  // answers one of our serial-port commands (or, on a raw port, once the
  // open is over). Until then data is the server's word, after that the
  // board's. server_text_: the first bytes of data.
  bool taken_on_ = false;
  std::string server_text_;
  // The serial-port control answers, by command (server code - 100).
  uint32_t answer_count_[16] = {};
  uint32_t answer_value_[16] = {};
  bool flow_control_left_on_ = false;
  uint64_t received_ = 0;  // bytes taken from the stream, all told

  bool purge_acknowledged_ = false;  // the server answers PURGE-DATA (learnt at set-up)
  std::atomic<uint32_t> per_byte_ms_{ReadTimeouts{}.per_byte_ms};
  std::atomic<uint32_t> constant_ms_{ReadTimeouts{}.constant_ms};
  std::atomic<bool> hung_up_{false};
};

bool SupportedByUs(uint8_t option) {
  return option == tn::kOptBinary || option == tn::kOptSga || option == tn::kOptComPort;
}
bool SupportedByHim(uint8_t option) {
  return option == tn::kOptBinary || option == tn::kOptSga;
}

bool NetSerialPort::SendAll(const std::vector<uint8_t>& bytes, size_t* sent_out) {
  std::lock_guard lock(send_mutex_);
  const std::chrono::milliseconds stall_limit(timings_.write_stall_ms);
  size_t sent = 0;
  Deadline progress_due(stall_limit);
  bool ok = !HungUp();
  while (ok && sent < bytes.size()) {
    const int left = progress_due.MillisLeft();
    if (left <= 0) {
      // Cut part-way, the server may be inside one of our commands and take
      // whatever we send next as the rest of it (a purge whose answer then
      // never comes): nothing more on this connection can be trusted.
      if (sent > 0) Break();
      ok = false;
      break;
    }
    const int k = stream_->Send(bytes.data() + sent, bytes.size() - sent, left);
    if (k < 0) {
      Break();
      ok = false;
    } else if (k > 0) {
      sent += static_cast<size_t>(k);
      progress_due = Deadline(stall_limit);
    }
  }
  if (sent_out != nullptr) *sent_out = sent;
  return ok;
}

void NetSerialPort::HandleOption(const tn::Event& e) {
  // Answers follow the rule that only a change is answered, so two sides
  // never loop; what we do not support is refused once.
  std::vector<uint8_t> reply;
  {
    std::lock_guard lock(state_mutex_);
    const uint8_t opt = e.code;
    switch (e.kind) {
      case tn::Event::Kind::kPeerDo:
        if (!SupportedByUs(opt)) {
          if (us_[opt] != OptionState::kRefused) tn::AppendOption(tn::kWont, opt, &reply);
          us_[opt] = OptionState::kRefused;
        } else if (us_[opt] != OptionState::kYes) {
          if (us_[opt] != OptionState::kWantYes) tn::AppendOption(tn::kWill, opt, &reply);
          us_[opt] = OptionState::kYes;
        }
        break;
      case tn::Event::Kind::kPeerDont:
        if (us_[opt] == OptionState::kYes) tn::AppendOption(tn::kWont, opt, &reply);
        if (us_[opt] != OptionState::kNo) us_[opt] = OptionState::kRefused;
        break;
      case tn::Event::Kind::kPeerWill:
        if (!SupportedByHim(opt)) {
          // Above all ECHO: an echoing server would hand our requests back
          // as replies.
          if (him_[opt] != OptionState::kRefused) tn::AppendOption(tn::kDont, opt, &reply);
          him_[opt] = OptionState::kRefused;
        } else if (him_[opt] != OptionState::kYes) {
          if (him_[opt] != OptionState::kWantYes) tn::AppendOption(tn::kDo, opt, &reply);
          him_[opt] = OptionState::kYes;
        }
        break;
      case tn::Event::Kind::kPeerWont:
        if (him_[opt] == OptionState::kYes) tn::AppendOption(tn::kDont, opt, &reply);
        if (him_[opt] != OptionState::kNo) him_[opt] = OptionState::kRefused;
        break;
      default:
        break;
    }
  }
  if (!reply.empty()) SendBytes(reply);
}

void NetSerialPort::HandleEvent(const tn::Event& e) {
  if (e.kind != tn::Event::Kind::kSubnegotiation) {
    if (e.kind != tn::Event::Kind::kCommand) HandleOption(e);
    return;
  }
  if (e.code != tn::kOptComPort || e.payload.empty()) return;
  const uint8_t code = e.payload[0];
  if (code < tn::kServerOffset || code >= tn::kServerOffset + 16) return;
  const uint8_t command = static_cast<uint8_t>(code - tn::kServerOffset);
  uint32_t value = 0;
  for (size_t i = 1; i < e.payload.size() && i <= 4; ++i) value = (value << 8) | e.payload[i];
  std::lock_guard lock(state_mutex_);
  answer_count_[command]++;
  answer_value_[command] = value;
  // An answer to one of ours; the line and modem state notifications come
  // to any client.
  if (command != tn::kNotifyLineState && command != tn::kNotifyModemState) taken_on_ = true;
  if (command == tn::kSetControl &&
      (value == 2 || value == 3 || value == 15 || value == 16 || value >= 17)) {
    flow_control_left_on_ = true;
  }
  if (command == tn::kPurgeData && !purge_answers_due_.empty()) purge_answers_due_.pop_front();
}

void NetSerialPort::Keep(const uint8_t* from, const uint8_t* to) {
  const size_t room = kInboxLimit - std::min(kInboxLimit, inbox_.size());
  inbox_.insert(inbox_.end(), from, from + std::min(room, static_cast<size_t>(to - from)));
}

bool NetSerialPort::Pump(int timeout_ms) {
  if (HungUp()) return false;
  uint8_t chunk[4096];
  int k = stream_->Receive(chunk, sizeof chunk, timeout_ms);
  if (k < 0) {
    Break();
    return false;
  }
  if (k == 0) return true;
  {
    std::lock_guard lock(state_mutex_);
    received_ += static_cast<uint64_t>(k);
  }
  auto note_server_text = [&](const uint8_t* from, size_t size) {
    if (server_text_.size() >= 256) return;
    server_text_.append(from, from + std::min(size, 256 - server_text_.size()));
  };
  if (!Telnet()) {
    std::lock_guard lock(state_mutex_);
    Keep(chunk, chunk + k);
    note_server_text(chunk, static_cast<size_t>(k));
    return true;
  }
  raw_.clear();
  std::vector<tn::Event> events;
  decoder_.Feed(chunk, static_cast<size_t>(k), &raw_, &events);
  // Data and events in the order they came: data that arrives before the
  // acknowledgement of a purge was on its way before the server purged, and
  // is dropped; data after it is the device's answer to what follows.
  size_t at = 0;
  auto take_data = [&](size_t until) {
    if (until <= at) return;
    std::lock_guard lock(state_mutex_);
    if (purge_answers_due_.empty()) {
      Keep(raw_.data() + at, raw_.data() + until);
    }
    note_server_text(raw_.data() + at, until - at);
    at = until;
  };
  for (const tn::Event& e : events) {
    take_data(e.at);
    {
      std::lock_guard lock(state_mutex_);
      telnet_seen_ = true;
    }
    HandleEvent(e);
  }
  take_data(raw_.size());
  return true;
}

void NetSerialPort::Drain() {
  // A bounded number of rounds: a server flooding us must not hold a purge.
  for (int round = 0; round < 64 && !HungUp(); ++round) {
    uint64_t before;
    {
      std::lock_guard lock(state_mutex_);
      before = received_;
    }
    if (!Pump(0)) return;
    std::lock_guard lock(state_mutex_);
    if (received_ == before) return;
  }
}

template <typename Done>
bool NetSerialPort::PumpUntil(const Deadline& deadline, Done done) {
  std::lock_guard lock(receive_mutex_);
  for (;;) {
    {
      std::lock_guard state(state_mutex_);
      if (done()) return true;
    }
    const int left = deadline.MillisLeft();
    if (left <= 0 || !Pump(left)) return false;
  }
}

std::string NetSerialPort::NegotiateOptions() {
  std::vector<uint8_t> offer;
  tn::AppendOption(tn::kWill, tn::kOptBinary, &offer);
  tn::AppendOption(tn::kDo, tn::kOptBinary, &offer);
  tn::AppendOption(tn::kWill, tn::kOptSga, &offer);
  tn::AppendOption(tn::kDo, tn::kOptSga, &offer);
  tn::AppendOption(tn::kWill, tn::kOptComPort, &offer);
  {
    std::lock_guard lock(state_mutex_);
    us_[tn::kOptBinary] = us_[tn::kOptSga] = us_[tn::kOptComPort] = OptionState::kWantYes;
    him_[tn::kOptBinary] = him_[tn::kOptSga] = OptionState::kWantYes;
  }
  const std::string name = url_.Text();
  const std::string raw_hint = PortUrl{PortUrl::Kind::kRaw, url_.host, url_.port}.Text();
  if (!SendBytes(offer)) return name + " closed the connection at once.";
  auto settled = [&] {
    auto open = [](OptionState s) { return s == OptionState::kWantYes; };
    return (!open(us_[tn::kOptBinary]) && !open(him_[tn::kOptBinary]) &&
            !open(us_[tn::kOptComPort])) ||
           us_[tn::kOptComPort] == OptionState::kRefused;
  };
  const bool answered =
      PumpUntil(Deadline(std::chrono::milliseconds(timings_.negotiate_ms)), settled);

  std::lock_guard lock(state_mutex_);
  if (!telnet_seen_) {
    return name +
           (HungUp() ? " closed the connection without a telnet answer"
                     : " gave no telnet answer") +
           ": not an RFC 2217 port; for a raw TCP port use " + raw_hint + ".";
  }
  if (us_[tn::kOptComPort] == OptionState::kRefused ||
      (answered && us_[tn::kOptComPort] != OptionState::kYes)) {
    return name + " refused serial-port control (COM-PORT-OPTION): for a raw TCP port use " +
           raw_hint + ".";
  }
  if (HungUp()) return name + " closed the connection during the telnet negotiation.";
  if (!answered) return name + " did not finish the telnet negotiation in time.";
  // Binary both ways, or a CR would carry a NUL after it and 0x0D replies
  // would change on the way.
  if (us_[tn::kOptBinary] != OptionState::kYes || him_[tn::kOptBinary] != OptionState::kYes) {
    return name + " refused binary transmission: for a raw TCP port use " + raw_hint + ".";
  }
  return {};
}

bool NetSerialPort::Negotiate(OpenResult* failure) {
  const std::string name = url_.Text();
  std::string refusal = NegotiateOptions();
  if (refusal.empty() && !Configure()) {
    refusal = HungUp() ? name + " closed the connection while its line was set up."
                       : name +
                             " refused to set its line to 115200 baud, 8 data bits, no parity, "
                             "1 stop bit, no flow control.";
  }
  if (TurnedAway()) {
    *failure =
        OpenResult{nullptr, OpenError::kBusy, name + " is in use by another client of its server."};
    return false;
  }
  if (!refusal.empty()) {
    *failure = OpenResult{nullptr, OpenError::kOther, refusal};
    return false;
  }
  std::lock_guard lock(state_mutex_);
  taken_on_ = true;
  return true;
}

bool NetSerialPort::CheckRawWelcome(OpenResult* failure) {
  const Deadline deadline(std::chrono::milliseconds(timings_.raw_welcome_ms));
  {
    std::lock_guard lock(receive_mutex_);
    while (!HungUp()) {
      const int left = deadline.MillisLeft();
      if (left <= 0 || !Pump(left)) break;
    }
  }
  if (!HungUp()) {
    // Whatever came is not an answer to anything yet.
    std::lock_guard lock(state_mutex_);
    inbox_.clear();
    taken_on_ = true;
    return true;
  }
  const std::string name = url_.Text();
  *failure = TurnedAway()
                 ? OpenResult{nullptr, OpenError::kBusy,
                              name + " is in use by another client of its server."}
                 : OpenResult{nullptr, OpenError::kOther, name + " closed the connection at once."};
  return false;
}

bool NetSerialPort::TurnedAway() {
  std::lock_guard lock(state_mutex_);
  return !taken_on_ && ContainsNoCase(server_text_, kInUse);
}

bool NetSerialPort::Configure(uint32_t baud) {
  if (HungUp()) return false;
  uint32_t before[16];
  {
    std::lock_guard lock(state_mutex_);
    std::copy(std::begin(answer_count_), std::end(answer_count_), std::begin(before));
    flow_control_left_on_ = false;
  }
  std::vector<uint8_t> setup;
  tn::AppendComPortCommand(tn::kSetBaudRate, baud, &setup);
  tn::AppendComPortCommand(tn::kSetDataSize, kDataBits, &setup);
  tn::AppendComPortCommand(tn::kSetParity, tn::kParityNone, &setup);
  tn::AppendComPortCommand(tn::kSetStopSize, tn::kStopSizeOne, &setup);
  tn::AppendComPortCommand(tn::kSetControl, tn::kControlNoFlow, &setup);
  tn::AppendComPortCommand(tn::kSetControl, tn::kControlInboundNoFlow, &setup);
  // DTR and RTS inactive, as on a local port: on many boards they drive
  // reset and boot mode. A server on a pseudo-terminal has no modem lines
  // and does not answer these two.
  tn::AppendComPortCommand(tn::kSetControl, tn::kControlDtrOff, &setup);
  tn::AppendComPortCommand(tn::kSetControl, tn::kControlRtsOff, &setup);
  // The purge last: its answer tells whether this server answers purges,
  // which the purge before each request relies on.
  tn::AppendComPortCommand(tn::kPurgeData, tn::kPurgeBoth, &setup);
  if (!SendBytes(setup)) return false;

  const uint8_t answered_commands[] = {tn::kSetBaudRate, tn::kSetDataSize, tn::kSetParity,
                                       tn::kSetStopSize, tn::kPurgeData};
  auto all_answered = [&] {
    for (uint8_t c : answered_commands) {
      if (answer_count_[c] == before[c]) return false;
    }
    return true;
  };
  PumpUntil(Deadline(std::chrono::milliseconds(timings_.negotiate_ms)), all_answered);

  std::lock_guard lock(state_mutex_);
  if (HungUp()) return false;
  // Answers are checked where the server sent them; a server that sends
  // none is taken at its word.
  auto answer_is = [&](uint8_t c, uint32_t value) {
    return answer_count_[c] == before[c] || answer_value_[c] == value;
  };
  if (!answer_is(tn::kSetBaudRate, baud) || !answer_is(tn::kSetDataSize, kDataBits) ||
      !answer_is(tn::kSetParity, tn::kParityNone) ||
      !answer_is(tn::kSetStopSize, tn::kStopSizeOne) || flow_control_left_on_) {
    return false;
  }
  purge_acknowledged_ = answer_count_[tn::kPurgeData] != before[tn::kPurgeData];
  return true;
}

bool NetSerialPort::Purge(uint32_t mask) {
  if (HungUp()) return false;
  const bool rx = (mask & PURGE_RXCLEAR) != 0;
  const bool tx = (mask & PURGE_TXCLEAR) != 0;
  // What has reached this machine is taken in and thrown away. When the
  // owner is reading right now (a probe from another thread), its read
  // holds the stream; the closed connection is then its to notice.
  {
    std::unique_lock lock(receive_mutex_, std::try_to_lock);
    if (lock.owns_lock()) Drain();
  }
  if (HungUp()) return false;
  std::vector<uint8_t> command;
  bool awaits_answer = false;
  {
    std::lock_guard lock(state_mutex_);
    // Purges in a row with no read between (a liveness probe): an earlier
    // one still unanswered after a read's time is an answer lost.
    if (!purge_answers_due_.empty() && purge_answers_due_.front().Passed()) {
      Break();
      return false;
    }
    if (rx) inbox_.clear();
    if (Telnet() && (rx || tx)) {
      const uint8_t which =
          rx && tx ? tn::kPurgeBoth : (rx ? tn::kPurgeReceive : tn::kPurgeTransmit);
      tn::AppendComPortCommand(tn::kPurgeData, which, &command);
      // Until the server's answer, whatever comes was sent before it purged.
      // Counted before sending: a reader may take the answer at once.
      if (rx && purge_acknowledged_) {
        purge_answers_due_.emplace_back(ReadBudget(1));
        awaits_answer = true;
      }
    }
  }
  if (command.empty()) return true;
  size_t sent = 0;
  if (SendAll(command, &sent)) return true;
  if (awaits_answer && sent == 0 && !HungUp()) {
    // Nothing went, so no answer will come.
    std::lock_guard lock(state_mutex_);
    if (!purge_answers_due_.empty()) purge_answers_due_.pop_back();
  }
  return false;
}

bool NetSerialPort::Write(const uint8_t* data, uint32_t n, uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (HungUp()) return false;
  if (!Telnet()) {
    size_t sent = 0;
    bool ok = SendAll(std::vector<uint8_t>(data, data + n), &sent);
    if (written != nullptr) *written = static_cast<uint32_t>(sent);
    return ok;
  }
  std::vector<uint8_t> escaped;
  escaped.reserve(n + n / 8);
  tn::AppendEscaped(data, n, &escaped);
  size_t sent = 0;
  bool ok = SendAll(escaped, &sent);
  if (written != nullptr) {
    // The count of our bytes whose whole encoding went out.
    uint32_t count = 0;
    size_t pos = 0;
    while (count < n) {
      size_t width = data[count] == tn::kIac ? 2 : 1;
      if (pos + width > sent) break;
      pos += width;
      ++count;
    }
    *written = count;
  }
  return ok;
}

uint32_t NetSerialPort::Read(uint8_t* buffer, uint32_t n) {
  if (n == 0 || HungUp()) return 0;
  const Deadline deadline(ReadBudget(n));
  uint32_t got = 0;
  std::lock_guard lock(receive_mutex_);
  for (;;) {
    {
      std::lock_guard state(state_mutex_);
      while (got < n && !inbox_.empty()) {
        buffer[got++] = inbox_.front();
        inbox_.pop_front();
      }
    }
    if (got == n) break;
    const int left = deadline.MillisLeft();
    if (left <= 0 || !Pump(left)) break;
  }
  // Until a purge is answered everything that comes is dropped, so a server
  // that lost the answer would swallow every reply from now on: an answer
  // that has not come within a whole read ends the connection instead.
  if (got < n) {
    std::lock_guard state(state_mutex_);
    if (!purge_answers_due_.empty()) Break();
  }
  return got;
}

class NetworkPortSystem final : public PortSystem {
 public:
  explicit NetworkPortSystem(std::unique_ptr<PortSystem> local) : local_(std::move(local)) {}
  std::vector<PortEntry> EnumeratePorts() override { return local_->EnumeratePorts(); }
  OpenResult OpenPort(const PortId& id) override {
    if (id.number <= 0 && LooksLikePortUrl(id.device)) {
      auto url = ParsePortUrl(id.device);
      if (!url) {
        return OpenResult{nullptr, OpenError::kNotFound,
                          id.device +
                              " is not a port address (rfc2217://HOST:PORT or "
                              "socket://HOST:PORT)."};
      }
      return presence_.Track(id.device, OpenNetPort(*url));
    }
    return local_->OpenPort(id);
  }
  // A network port's presence is what its connections said; asking the
  // server would take its only client place from the board's own link.
  bool PortPresent(const PortId& id) override {
    if (id.number <= 0 && LooksLikePortUrl(id.device)) return presence_.Present(id.device);
    return local_->PortPresent(id);
  }
  std::optional<PortId> ResolvePort(std::string_view text) override {
    std::string_view trimmed = text;
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front())))
      trimmed.remove_prefix(1);
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
      trimmed.remove_suffix(1);
    if (LooksLikePortUrl(trimmed)) {
      auto url = ParsePortUrl(trimmed);
      if (!url) return std::nullopt;
      return PortId{0, url->Text()};
    }
    return local_->ResolvePort(text);
  }

 private:
  std::unique_ptr<PortSystem> local_;
  ConnectionPresence presence_;
};

}  // namespace

OpenResult OpenNetPortOn(std::unique_ptr<TcpStream> stream, const PortUrl& url,
                         const NetTimings& timings) {
  auto port = std::make_unique<NetSerialPort>(std::move(stream), url, timings);
  OpenResult failure;
  if (url.kind == PortUrl::Kind::kRfc2217 ? !port->Negotiate(&failure)
                                          : !port->CheckRawWelcome(&failure)) {
    return failure;
  }
  return OpenResult{std::move(port), OpenError::kNone, {}};
}

OpenResult OpenNetPort(const PortUrl& url, const NetTimings& timings) {
  const std::string name = url.Text();
  ConnectResult connected = ConnectTcp(url.host, url.port, timings.connect_ms);
  switch (connected.error) {
    case ConnectError::kNone:
      return OpenNetPortOn(std::move(connected.stream), url, timings);
    case ConnectError::kResolve:
      return OpenResult{
          nullptr, OpenError::kNotFound,
          "There is no host " + url.host + " for " + name + ": " + connected.detail + "."};
    case ConnectError::kRefused:
      return OpenResult{nullptr, OpenError::kNotFound,
                        name + " refused the connection: no port server listens there."};
    case ConnectError::kUnreachable:
      return OpenResult{nullptr, OpenError::kNotFound,
                        name + " cannot be reached: " + connected.detail + "."};
    case ConnectError::kOther:
      break;
  }
  return OpenResult{nullptr, OpenError::kOther,
                    "Cannot connect to " + name + ": " + connected.detail + "."};
}

std::unique_ptr<PortSystem> WithNetworkPorts(std::unique_ptr<PortSystem> local) {
  return std::make_unique<NetworkPortSystem>(std::move(local));
}

}  // namespace quelmar::link
