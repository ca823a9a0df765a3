// Telnet framing and the serial-port control option a port server speaks
// (ser2net's "telnet(rfc2217)" ports): the byte-level decoder and encoder.
// No sockets here, so the codec is tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelmar::link::telnet {

// Commands.
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kNop = 241;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;

// Options.
inline constexpr uint8_t kOptBinary = 0;
inline constexpr uint8_t kOptEcho = 1;
inline constexpr uint8_t kOptSga = 3;
inline constexpr uint8_t kOptComPort = 44;

// Serial-port control commands, client to server; the server answers a
// command c with c + kServerOffset.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// Values of the commands above.
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kStopSizeOne = 1;
inline constexpr uint8_t kControlNoFlow = 1;  // outbound, or both ways
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kControlInboundNoFlow = 14;
inline constexpr uint8_t kPurgeReceive = 1;   // the server's buffer of what the device sent
inline constexpr uint8_t kPurgeTransmit = 2;  // the server's buffer of what goes to the device
inline constexpr uint8_t kPurgeBoth = 3;

// A subnegotiation longer than this is cut there: no option we care about
// needs more, and a server sending garbage must not grow our memory.
inline constexpr size_t kMaxSubnegotiation = 64;

// Something other than data the peer sent.
struct Event {
  enum class Kind : uint8_t { kPeerWill, kPeerWont, kPeerDo, kPeerDont, kSubnegotiation, kCommand };
  Kind kind = Kind::kCommand;
  uint8_t code = 0;              // the option, or the command byte for kCommand
  std::vector<uint8_t> payload;  // subnegotiation bytes after the option, undoubled
  // Where it fell in the data: the size the data vector had when it came,
  // so data before and after a command can be told apart.
  size_t at = 0;

  bool operator==(const Event&) const = default;
};

// Splits the received stream into data and events. Keeps its state between
// calls, so an IAC or a subnegotiation may be split across reads anywhere.
class Decoder {
 public:
  // Appends the data bytes of `received` to *data and the events to *events.
  void Feed(const uint8_t* received, size_t n, std::vector<uint8_t>* data,
            std::vector<Event>* events);
  // Back to the start of a stream (a new connection).
  void Reset() { *this = Decoder(); }
  // Whether the last byte fed left a command or subnegotiation unfinished.
  bool Pending() const { return state_ != State::kData; }

 private:
  enum class State : uint8_t { kData, kAfterIac, kVerb, kSbOption, kSbData, kSbIac };
  // The byte after an IAC outside a subnegotiation.
  void AfterIac(uint8_t b, std::vector<uint8_t>* data, std::vector<Event>* events);
  State state_ = State::kData;
  uint8_t verb_ = 0;
  Event sub_;
  bool sub_cut_ = false;
};

// Data for the stream: every 0xFF doubled.
void AppendEscaped(const uint8_t* data, size_t n, std::vector<uint8_t>* out);
// IAC verb option.
void AppendOption(uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
// IAC SB option payload IAC SE, with 0xFF in the payload doubled.
void AppendSubnegotiation(uint8_t option, const std::vector<uint8_t>& payload,
                          std::vector<uint8_t>* out);
// A serial-port control command with its value (big-endian, as wide as the
// command takes: four bytes for the baud rate, one for the others).
void AppendComPortCommand(uint8_t command, uint32_t value, std::vector<uint8_t>* out);

}  // namespace quelmar::link::telnet
