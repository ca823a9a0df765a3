#include "station/scans.h"

#include <chrono>
#include <cstdio>

namespace quelmar::station {
namespace {

constexpr char kGroupSeparator = 0x1D;
constexpr auto kReopenPeriod = std::chrono::milliseconds(1000);
constexpr auto kStopCheck = std::chrono::milliseconds(100);

bool ControlCharacter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// The length of the UTF-8 character at text[at], 0 for a byte that starts
// none (a stray continuation byte, a sequence cut short, an overlong form,
// a surrogate, beyond U+10FFFF); *c is the character.
size_t Utf8At(std::string_view text, size_t at, char32_t* c) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  const size_t n = lead < 0x80   ? 1
                   : lead < 0xC2 ? 0
                   : lead < 0xE0 ? 2
                   : lead < 0xF0 ? 3
                   : lead < 0xF5 ? 4
                                 : 0;
  if (n == 0 || at + n > text.size()) return 0;
  *c = n == 1 ? lead : lead & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    *c = (*c << 6) | (byte(i) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (*c < kLeast[n] || (*c >= 0xD800 && *c <= 0xDFFF) || *c > 0x10FFFF) return 0;
  return n;
}

// The C1 controls (U+0080 to U+009F): a terminal may take U+009B as the
// start of an escape sequence.
bool C1Control(char32_t c) {
  return c >= 0x80 && c <= 0x9F;
}

// Why a unit cannot be taken as it stands, or "". A scan that is not UTF-8
// (a scanner set to another code page) would be kept in the records, the
// page and the line's database as replacement characters: two units would
// read alike there, and the unit's earlier boards would not be found.
std::string ScanFault(std::string_view scan) {
  for (size_t at = 0, n = 0; at < scan.size(); at += n) {
    char32_t c = 0;
    n = Utf8At(scan, at, &c);
    if (n == 0) return "it is not UTF-8";
    if ((n == 1 && c != static_cast<char32_t>(kGroupSeparator) &&
         ControlCharacter(static_cast<char>(c))) ||
        C1Control(c))
      return "it holds a control character";
  }
  return "";
}

std::string Quoted(std::string_view scan) {
  return "\"" + ShownScan(scan) + "\"";
}

// A user's pattern may still throw on a hostile scan (too complex to
// match): that scan does not match.
bool Matches(const std::regex& pattern, const std::string& text, std::smatch* groups) {
  try {
    return std::regex_match(text, *groups, pattern);
  } catch (const std::regex_error&) {
    return false;
  }
}

}  // namespace

ScanMode ScanModeOf(const std::string& word) {
  if (word == "optional") return ScanMode::kOptional;
  if (word == "required") return ScanMode::kRequired;
  return ScanMode::kOff;
}

const char* ScanModeWord(ScanMode mode) {
  switch (mode) {
    case ScanMode::kOff:
      return "off";
    case ScanMode::kOptional:
      return "optional";
    case ScanMode::kRequired:
      return "required";
  }
  return "off";
}

std::string ShownScan(std::string_view scan) {
  std::string shown;
  for (size_t at = 0, n = 0; at < scan.size(); at += n) {
    const char c = scan[at];
    char32_t wide = 0;
    n = Utf8At(scan, at, &wide);
    char hex[12];
    if (c == kGroupSeparator) {
      shown += "<GS>";
    } else if (n == 0 || ControlCharacter(c)) {
      // A byte that is no character is shown as the byte it is.
      std::snprintf(hex, sizeof hex, "<0x%02X>", static_cast<unsigned char>(c));
      shown += hex;
      n = 1;
    } else if (C1Control(wide)) {
      std::snprintf(hex, sizeof hex, "<U+%04X>", static_cast<unsigned>(wide));
      shown += hex;
    } else {
      shown.append(scan, at, n);
    }
  }
  return shown;
}

void ScanLines::Feed(std::string_view bytes, const std::function<void(const std::string&)>& line,
                     const std::function<void()>& too_long) {
  for (const char c : bytes) {
    const bool cr_lf = after_cr_ && c == '\n';
    after_cr_ = c == '\r';
    if (cr_lf) continue;
    if (c == '\r' || c == '\n' || c == '\t') {
      if (!overlong_ && !pending_.empty()) line(pending_);
      pending_.clear();
      overlong_ = false;
      continue;
    }
    if (overlong_) continue;
    if (pending_.size() == kMaxScanBytes) {
      pending_.clear();
      overlong_ = true;
      too_long();
      continue;
    }
    pending_ += c;
  }
}

ScanDesk::ScanDesk(const ScanSettings& settings)
    : mode_(settings.mode), unit_pattern_text_(settings.unit_pattern) {
  try {
    if (!settings.unit_pattern.empty()) unit_pattern_.emplace(settings.unit_pattern);
    if (!settings.slot_pattern.empty()) slot_pattern_.emplace(settings.slot_pattern);
  } catch (const std::regex_error&) {
    // Checked with the profile; one that fails here anyway matches nothing.
    unit_pattern_.emplace("(?!)");
    slot_pattern_.reset();
  }
}

void ScanDesk::AddSlot(std::string label) {
  std::lock_guard lock(mutex_);
  Slot slot;
  slot.label = std::move(label);
  slots_.push_back(std::move(slot));
  ++version_;
}

std::string ScanDesk::NameLocked(size_t slot) const {
  return slots_[slot].label + " (slot " + std::to_string(slot + 1) + ")";
}

std::optional<size_t> ScanDesk::TargetLocked() const {
  if (picked_) return picked_;
  for (size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i].present && !slots_[i].running && slots_[i].bound.empty()) return i;
  return std::nullopt;
}

ScanAnswer ScanDesk::Offer(const std::string& scan) {
  const std::string shown = Quoted(scan);
  if (scan.empty()) return {false, "an empty scan is ignored"};
  if (scan.size() > kMaxScanBytes)
    return {false, "scan refused: longer than " + std::to_string(kMaxScanBytes) + " bytes"};
  if (const std::string fault = ScanFault(scan); !fault.empty())
    return {false, "scan " + shown + " refused: " + fault};
  std::lock_guard lock(mutex_);
  std::smatch groups;
  if (slot_pattern_ && Matches(*slot_pattern_, scan, &groups)) {
    const std::string digits = groups.size() > 1 ? groups[1].str() : "";
    size_t place = 0;
    bool number = !digits.empty() && digits.size() <= 6;
    for (const char c : digits) {
      number = number && c >= '0' && c <= '9';
      if (number) place = place * 10 + static_cast<size_t>(c - '0');
    }
    if (!number || place < 1 || place > slots_.size())
      return {false, "slot scan " + shown + " refused: the station has slots 1 to " +
                         std::to_string(slots_.size())};
    const size_t slot = place - 1;
    if (!slots_[slot].bound.empty())
      return {false, "slot scan " + shown + " refused: " + NameLocked(slot) + " has scan " +
                         Quoted(slots_[slot].bound) + " bound already"};
    picked_ = slot;
    ++version_;
    return {true, "slot scan " + shown + ": the next scan binds " + NameLocked(slot)};
  }
  if (unit_pattern_ && !Matches(*unit_pattern_, scan, &groups))
    return {false, "scan " + shown + " refused: it does not match scan_pattern \"" +
                       unit_pattern_text_ + "\""};
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].bound == scan || (slots_[i].running && slots_[i].current == scan))
      return {false, "scan " + shown + " refused: it is bound to " + NameLocked(i) + " already"};
  }
  const std::optional<size_t> target = TargetLocked();
  if (!target) return {false, "scan " + shown + " refused: no slot waits for a scan"};
  slots_[*target].bound = scan;
  picked_.reset();
  ++version_;
  return {true, "scan " + shown + " bound to " + NameLocked(*target)};
}

std::string ScanDesk::SetPresent(size_t slot, bool present) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size() || slots_[slot].present == present) return "";
  Slot& s = slots_[slot];
  s.present = present;
  ++version_;
  if (present) return "";
  if (picked_ == slot) picked_.reset();
  if (s.bound.empty()) return "";
  return ShownScan(std::exchange(s.bound, {}));
}

bool ScanDesk::MayStart(size_t slot) const {
  if (mode_ != ScanMode::kRequired) return true;
  std::lock_guard lock(mutex_);
  return slot < slots_.size() && !slots_[slot].bound.empty();
}

void ScanDesk::Start(size_t slot) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  Slot& s = slots_[slot];
  s.running = true;
  s.current = std::exchange(s.bound, {});
  s.last.clear();
  ++version_;
}

std::string ScanDesk::RunningUnit(size_t slot) const {
  std::lock_guard lock(mutex_);
  return slot < slots_.size() && slots_[slot].running ? slots_[slot].current : "";
}

void ScanDesk::Finish(size_t slot) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  slots_[slot].running = false;
  slots_[slot].last = std::exchange(slots_[slot].current, {});
  ++version_;
}

std::vector<SlotScan> ScanDesk::Slots() const {
  std::lock_guard lock(mutex_);
  std::vector<SlotScan> out;
  for (const Slot& s : slots_) {
    const std::string& unit = !s.bound.empty()     ? s.bound
                              : !s.current.empty() ? s.current
                                                   : s.last;
    out.push_back({ShownScan(unit), mode_ == ScanMode::kRequired && !s.running && s.bound.empty()});
  }
  return out;
}

bool ScanDesk::Busy() const {
  std::lock_guard lock(mutex_);
  for (const Slot& s : slots_)
    if (!s.bound.empty() || s.running) return true;
  return false;
}

std::string ScanDesk::NextSlot() const {
  std::lock_guard lock(mutex_);
  const std::optional<size_t> target = TargetLocked();
  return target ? NameLocked(*target) : "";
}

ScannerReader::ScannerReader(std::unique_ptr<link::PortSystem> ports, std::string port,
                             uint32_t baud, Clock& clock,
                             std::function<void(const std::string&)> scan,
                             std::function<void(const std::string&)> note)
    : ports_(std::move(ports)),
      port_(std::move(port)),
      baud_(baud),
      clock_(clock),
      scan_(std::move(scan)),
      note_(std::move(note)) {}

ScannerReader::~ScannerReader() {
  Stop();
}

void ScannerReader::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void ScannerReader::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<link::SerialPort> ScannerReader::Open(std::string* why) {
  const std::optional<link::PortId> id = ports_->ResolvePort(port_);
  if (!id) {
    *why = "names no serial port now";
    return nullptr;
  }
  link::OpenResult opened = ports_->OpenPort(*id);
  if (!opened.port) {
    *why = opened.error == link::OpenError::kBusy         ? "is held by another program"
           : opened.error == link::OpenError::kPermission ? "may not be opened by this user"
           : opened.error == link::OpenError::kNotFound   ? "is not there"
                                                          : "cannot be opened";
    if (!opened.advice.empty()) *why += " (" + opened.advice + ")";
    return nullptr;
  }
  std::unique_ptr<link::SerialPort> port = std::move(opened.port);
  // Short reads: a scan is taken within a tenth of a second of its end.
  if (!port->SetCommState() || !port->SetBaudRate(baud_) ||
      !port->SetCommTimeouts(link::ReadTimeouts{0, 100})) {
    *why = "cannot be set to " + std::to_string(baud_) + " baud";
    return nullptr;
  }
  port->Purge(link::kPurgeAll);
  return port;
}

void ScannerReader::Run() {
  const std::string name = "scanner '" + port_ + "'";
  bool away = false;  // said to be away, not yet back
  bool ever = false;
  while (!stop_) {
    std::string why;
    std::unique_ptr<link::SerialPort> port = Open(&why);
    if (!port) {
      if (!away) note_(name + " " + why + "; it is opened again when it is back");
      away = true;
      for (auto waited = std::chrono::milliseconds(0); !stop_ && waited < kReopenPeriod;
           waited += kStopCheck)
        clock_.Sleep(kStopCheck);
      continue;
    }
    if (away || !ever) note_(name + (ever || away ? " is back: " : " ") + "reads scans");
    away = false;
    ever = true;
    ScanLines lines;
    uint8_t buffer[64];
    while (!stop_) {
      const uint32_t got = port->Read(buffer, sizeof buffer);
      if (got == 0 && port->HungUp()) break;
      if (got == 0) continue;
      lines.Feed(std::string_view(reinterpret_cast<const char*>(buffer), got), scan_, [&] {
        note_("scan refused: longer than " + std::to_string(kMaxScanBytes) + " bytes");
      });
    }
    if (stop_) break;
    note_(name + " is gone; it is opened again when it is back");
    away = true;
  }
}

}  // namespace quelmar::station
