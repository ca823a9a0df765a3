// A unit's ID scanned per board (the DataMatrix on the PCB's own label),
// bound to the slot the board goes in. Scans come from a serial scanner,
// the station's page and the terminal; all of them go to one ScanDesk,
// which binds each to a slot and hands it to that slot's next board.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "link/serial_port.h"
#include "station/board_runner.h"
#include "station/station_state.h"

namespace quelmar::station {

enum class ScanMode { kOff, kOptional, kRequired };
// "off", "optional" or "required" (the profile's words); kOff for anything else.
ScanMode ScanModeOf(const std::string& word);
const char* ScanModeWord(ScanMode mode);

// A scan longer than this is refused: no label holds that much.
inline constexpr size_t kMaxScanBytes = 200;

// A scan as the page and the terminal show it: the GS1 separator as <GS>,
// any other control character as <0xNN> (a C1 one as <U+NNNN>), a byte
// that is not UTF-8 as <0xNN>.
std::string ShownScan(std::string_view scan);

// Splits what a scanner (or the terminal) sends into scans: CR, LF and Tab
// each end one, CR LF is one end, empty ones are skipped. A line longer
// than kMaxScanBytes is dropped whole and said once through too_long.
class ScanLines {
 public:
  void Feed(std::string_view bytes, const std::function<void(const std::string&)>& line,
            const std::function<void()>& too_long);

 private:
  std::string pending_;
  bool overlong_ = false;
  bool after_cr_ = false;
};

// What became of one scan: bound (or a slot picked), or refused; the line
// says which, for the page and the terminal.
struct ScanAnswer {
  bool taken = false;
  std::string line;
};

struct ScanSettings {
  ScanMode mode = ScanMode::kOff;
  std::string unit_pattern;  // the whole scan must match; "" takes any
  std::string slot_pattern;  // a slot's label, group 1 its place from 1; "" none
};

// The slots' scans. Slots are added in the profile's port order; every
// call may come from any thread.
class ScanDesk {
 public:
  // The patterns were checked when the profile was read.
  explicit ScanDesk(const ScanSettings& settings);

  ScanMode Mode() const { return mode_; }
  void AddSlot(std::string label);
  // One scan from anywhere: a slot's label picks the slot for the next
  // scan; a unit is bound to the picked slot, else to the first one that
  // waits for a board and has none bound.
  ScanAnswer Offer(const std::string& scan);
  // A gone slot waits for no board.
  // A slot whose port has gone drops the scan bound to it (the board in
  // the operator's hand goes elsewhere): returns that scan, shown, or "".
  std::string SetPresent(size_t slot, bool present);
  // With scan = "required", no board starts before its scan.
  bool MayStart(size_t slot) const;
  // The board starts: the unit bound to its slot goes with it.
  void Start(size_t slot);
  // The unit of the board running on the slot ("" when none).
  std::string RunningUnit(size_t slot) const;
  void Finish(size_t slot);

  std::vector<SlotScan> Slots() const;
  // Whether a slot has a scan bound or a scanned board running.
  bool Busy() const;
  // The slot the next unit scan binds to ("COM3 (slot 2)"), or "".
  std::string NextSlot() const;
  // Bumped at every change, for whoever shows the desk.
  uint64_t Version() const { return version_.load(); }

 private:
  struct Slot {
    std::string label;
    bool present = true;
    bool running = false;
    std::string bound;    // for the next board
    std::string current;  // the running board's
    std::string last;     // the finished board's, shown with its result
  };
  std::string NameLocked(size_t slot) const;
  std::optional<size_t> TargetLocked() const;

  const ScanMode mode_;
  std::optional<std::regex> unit_pattern_;
  std::string unit_pattern_text_;
  std::optional<std::regex> slot_pattern_;
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::optional<size_t> picked_;
  std::atomic<uint64_t> version_{1};
};

// flash --auto's ports bound to a desk, port i its slot i: no board starts
// before its scan when one is required, and each takes its slot's unit.
class ScanObserver final : public BoardObserver {
 public:
  explicit ScanObserver(ScanDesk& desk) : desk_(desk) {}
  bool MayStart(size_t port) override { return desk_.MayStart(port); }
  void Started(size_t port, unsigned) override { desk_.Start(port); }
  std::string TakeUnit(size_t port) override { return desk_.RunningUnit(port); }
  void Fields(size_t, std::vector<std::pair<std::string, std::string>>) override {}
  void LogText(size_t, int, std::string_view) override {}
  void Progress(size_t, const ProgressState&) override {}
  void Finished(size_t port, unsigned, bool) override { desk_.Finish(port); }

 private:
  ScanDesk& desk_;
};

// Reads a serial scanner's lines on a thread of its own and hands each
// scan on. A scanner that cannot be opened, or goes away, is said once and
// opened again when it is back.
class ScannerReader {
 public:
  // scan: each scan read; note: the scanner's own news and an overlong
  // scan's refusal. Both on the reader's thread.
  ScannerReader(std::unique_ptr<link::PortSystem> ports, std::string port, uint32_t baud,
                Clock& clock, std::function<void(const std::string&)> scan,
                std::function<void(const std::string&)> note);
  // Stops and joins the thread.
  ~ScannerReader();
  ScannerReader(const ScannerReader&) = delete;
  ScannerReader& operator=(const ScannerReader&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  std::unique_ptr<link::SerialPort> Open(std::string* why);

  std::unique_ptr<link::PortSystem> ports_;
  const std::string port_;
  const uint32_t baud_;
  Clock& clock_;
  std::function<void(const std::string&)> scan_;
  std::function<void(const std::string&)> note_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace quelmar::station
