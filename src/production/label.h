// A board's printed label: a ZPL template with {name} places filled from
// the board's record, and where the bytes go (a raw TCP printer, a command
// that takes them on its stdin, or a folder). No value can leave the field
// it stands in: each is written as ^FH hex escapes where it could.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quelmar::production {

// A template read once and checked against the names a board can give.
class LabelTemplate {
 public:
  // The names every board gives besides its fields.
  static const std::vector<std::string>& BuiltinNames();
  // text's {name} places, each one of names or BuiltinNames(), each inside
  // a field's data (after ^FD, before the next command); "{{" and "}}" are
  // braces. False with one line in *why naming the place.
  bool Parse(const std::string& text, const std::vector<std::string>& names, std::string* why);
  // The ZPL with every place filled: a name missing from values is "".
  std::string Render(const std::map<std::string, std::string>& values) const;
  bool empty() const { return pieces_.empty(); }

 private:
  struct Piece {
    std::string text;  // literal ZPL, or the name of a place
    bool place = false;
  };
  std::vector<Piece> pieces_;
};

// The bytes of a value as field data after "^FH\": '^', '~', '\', and every
// byte below 0x20 or from 0x7F as "\XX".
std::string EscapeFieldData(const std::string& value);

// Where labels go, as a station's profile names it.
struct PrinterTarget {
  enum class Kind { kTcp, kCommand, kFile };
  Kind kind = Kind::kTcp;
  std::string host;  // tcp://HOST:PORT
  uint16_t port = 0;
  std::vector<std::string> argv;  // command:PROGRAM ARGS...
  std::string folder;             // file:FOLDER
  std::string text;               // as given
};

// "tcp://HOST:PORT" (raw, e.g. port 9100), "command:lp -d zebra -o raw" or
// "file:labels/". False with one line in *why.
bool ParsePrinter(const std::string& text, PrinterTarget* out, std::string* why);

// Why the label of a record filed by the run after the one that sent it
// is not known to have printed: that one ended before the printer answered.
inline constexpr char kLabelNotKnown[] =
    "the station ended before the printer answered: the label may have printed or not";

// Sends the label's bytes whole, within timeout in all: tcp sends them,
// shuts its side and waits for the printer to close its own; command runs
// the program with them on its stdin and takes exit status 0; file writes
// FOLDER/<name>.zpl whole (never over another file). False with one line
// in *why. cancelled (may be empty), looked at while a tcp printer is
// waited for, gives up at once when it says so.
bool SendLabel(const PrinterTarget& target, const std::string& bytes, const std::string& name,
               std::chrono::milliseconds timeout, std::string* why,
               const std::function<bool()>& cancelled = {});

// Runs argv[0] (looked up in PATH) with argv, input on its stdin, and waits
// at most timeout for it to end; a program still running then is killed.
// *status: its exit status. False with *why when it could not be run or did
// not end in time.
bool RunWithInput(const std::vector<std::string>& argv, const std::string& input,
                  std::chrono::milliseconds timeout, int* status, std::string* why);

}  // namespace quelmar::production
