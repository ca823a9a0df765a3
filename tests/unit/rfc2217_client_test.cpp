// The RFC 2217 client over a scripted stream: negotiation, the answers it
// checks, and the purge that keeps a late byte from being taken as a reply.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "link/net_port.h"
#include "link/telnet.h"

namespace quelmar::link {
namespace {

using Bytes = std::vector<uint8_t>;

// The server's side: chunks to hand out one Receive at a time, and all
// the client sent.
struct Script {
  std::mutex mutex;
  std::deque<Bytes> to_client;
  Bytes from_client;
  bool closed_when_empty = false;
};

class ScriptedStream final : public TcpStream {
 public:
  explicit ScriptedStream(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  int Receive(uint8_t* buffer, size_t n, int timeout_ms) override {
    {
      std::lock_guard lock(script_->mutex);
      if (!script_->to_client.empty()) {
        Bytes& chunk = script_->to_client.front();
        const size_t k = std::min(n, chunk.size());
        std::copy(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(k), buffer);
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(k));
        if (chunk.empty()) script_->to_client.pop_front();
        return static_cast<int>(k);
      }
      if (script_->closed_when_empty) return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 2)));
    return 0;
  }
  int Send(const uint8_t* data, size_t n, int) override {
    std::lock_guard lock(script_->mutex);
    script_->from_client.insert(script_->from_client.end(), data, data + n);
    return static_cast<int>(n);
  }

 private:
  std::shared_ptr<Script> script_;
};

Bytes Option(uint8_t verb, uint8_t option) {
  Bytes b;
  telnet::AppendOption(verb, option, &b);
  return b;
}
Bytes Answer(uint8_t command, uint32_t value) {
  Bytes b;
  telnet::AppendComPortCommand(static_cast<uint8_t>(command + telnet::kServerOffset), value, &b);
  return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// What ser2net says to a client on a pseudo-terminal: its offer (ECHO
// among it), then the answers to the line's settings and the purge.
Bytes Ser2netGreeting() {
  return Cat({Option(telnet::kWill, telnet::kOptSga), Option(telnet::kWill, telnet::kOptEcho),
              Option(telnet::kDo, telnet::kOptBinary), Option(telnet::kWill, telnet::kOptBinary),
              Option(telnet::kDo, telnet::kOptComPort)});
}
Bytes Ser2netSettingAnswers(uint32_t baud = 115200) {
  return Cat({Answer(telnet::kSetBaudRate, baud), Answer(telnet::kSetDataSize, 8),
              Answer(telnet::kSetParity, 1), Answer(telnet::kSetStopSize, 1),
              Answer(telnet::kSetControl, 1), Answer(telnet::kSetControl, 14),
              Answer(telnet::kPurgeData, 3)});
}

const NetTimings kQuick{1000, 300, 300, 20};
const PortUrl kUrl{PortUrl::Kind::kRfc2217, "board-host", 7000};

OpenResult Open(const std::shared_ptr<Script>& script) {
  return OpenNetPortOn(std::make_unique<ScriptedStream>(script), kUrl, kQuick);
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

TEST(Rfc2217Client, NegotiatesSetsTheLineAndRefusesEcho) {
  auto script = std::make_shared<Script>();
  script->to_client = {Ser2netGreeting(), Ser2netSettingAnswers()};
  OpenResult opened = Open(script);
  ASSERT_NE(opened.port, nullptr) << opened.advice;
  std::lock_guard lock(script->mutex);
  const Bytes& sent = script->from_client;
  for (const Bytes& expected :
       {Option(telnet::kWill, telnet::kOptBinary), Option(telnet::kDo, telnet::kOptBinary),
        Option(telnet::kWill, telnet::kOptComPort), Option(telnet::kDont, telnet::kOptEcho),
        Cat({Bytes{0xFF, 250, 44, 1, 0, 1, 0xC2, 0, 0xFF, 240}}),
        Bytes{0xFF, 250, 44, 2, 8, 0xFF, 240}, Bytes{0xFF, 250, 44, 3, 1, 0xFF, 240},
        Bytes{0xFF, 250, 44, 4, 1, 0xFF, 240}, Bytes{0xFF, 250, 44, 5, 1, 0xFF, 240},
        Bytes{0xFF, 250, 44, 12, 3, 0xFF, 240}}) {
    EXPECT_TRUE(Contains(sent, expected)) << "missing " << ::testing::PrintToString(expected);
  }
}

TEST(Rfc2217Client, RefusalsAreSaidAndSuggestARawPort) {
  struct Case {
    const char* name;
    std::deque<Bytes> server;
    bool closes;
    OpenError error;
    const char* advice;
  } cases[] = {
      {"COM-PORT-OPTION refused",
       {Cat({Option(telnet::kDo, telnet::kOptBinary), Option(telnet::kWill, telnet::kOptBinary),
             Option(telnet::kDont, telnet::kOptComPort)})},
       false,
       OpenError::kOther,
       "rfc2217://board-host:7000 refused serial-port control (COM-PORT-OPTION): for a raw TCP "
       "port use socket://board-host:7000."},
      {"no telnet at all",
       {Bytes{'h', 'e', 'l', 'l', 'o'}},
       false,
       OpenError::kOther,
       "rfc2217://board-host:7000 gave no telnet answer: not an RFC 2217 port; for a raw TCP port "
       "use socket://board-host:7000."},
      {"second client",
       {Ser2netGreeting(), Bytes{'P', 'o', 'r', 't', ' ', 'a', 'l', 'r', 'e', 'a', 'd', 'y', ' ',
                                 'i', 'n', ' ', 'u', 's', 'e'}},
       true,
       OpenError::kBusy,
       "rfc2217://board-host:7000 is in use by another client of its server."},
      {"wrong baud rate answered",
       {Ser2netGreeting(), Ser2netSettingAnswers(9600)},
       false,
       OpenError::kOther,
       "rfc2217://board-host:7000 refused to set its line to 115200 baud, 8 data bits, no parity, "
       "1 "
       "stop bit, no flow control."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    script->to_client = c.server;
    script->closed_when_empty = c.closes;
    OpenResult opened = Open(script);
    EXPECT_EQ(opened.port, nullptr);
    EXPECT_EQ(opened.error, c.error);
    EXPECT_EQ(opened.advice, c.advice);
  }
}

TEST(Rfc2217Client, BytesBeforeThePurgeAnswerAreDroppedAndIacSplitAcrossReadsIsOneByte) {
  auto script = std::make_shared<Script>();
  script->to_client = {Ser2netGreeting(), Ser2netSettingAnswers()};
  OpenResult opened = Open(script);
  ASSERT_NE(opened.port, nullptr) << opened.advice;
  SerialPort& port = *opened.port;
  ASSERT_TRUE(port.SetCommTimeouts(ReadTimeouts{50, 800}));
  ASSERT_TRUE(port.Purge(kPurgeAll));
  {
    std::lock_guard lock(script->mutex);
    // The end of an earlier reply, late, still on its way when the server
    // purged; then the purge's answer; then the reply, its doubled 0xFF cut
    // between two reads.
    script->to_client = {Bytes{0xAA, 0x01}, Answer(telnet::kPurgeData, 3), Bytes{0xAA, 0xFF},
                         Bytes{0xFF, 0x03, 0x04}};
  }
  uint8_t reply[4] = {};
  EXPECT_EQ(port.Read(reply, 4), 4u);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xAA, 0xFF, 0x03, 0x04}));
}

TEST(Rfc2217Client, WritesDoubleIacAndTheServerClosingIsAHangUp) {
  auto script = std::make_shared<Script>();
  script->to_client = {Ser2netGreeting(), Ser2netSettingAnswers()};
  OpenResult opened = Open(script);
  ASSERT_NE(opened.port, nullptr) << opened.advice;
  SerialPort& port = *opened.port;
  size_t before;
  {
    std::lock_guard lock(script->mutex);
    before = script->from_client.size();
  }
  const uint8_t frame[] = {0x55, 0xFF, 0x00, 0xFF};
  uint32_t written = 0;
  ASSERT_TRUE(port.Write(frame, 4, &written));
  EXPECT_EQ(written, 4u);
  {
    std::lock_guard lock(script->mutex);
    EXPECT_EQ(Bytes(script->from_client.begin() + static_cast<ptrdiff_t>(before),
                    script->from_client.end()),
              (Bytes{0x55, 0xFF, 0xFF, 0x00, 0xFF, 0xFF}));
    script->closed_when_empty = true;
  }
  uint8_t reply[4];
  EXPECT_EQ(port.Read(reply, 4), 0u);
  EXPECT_TRUE(port.HungUp());
  EXPECT_FALSE(port.Purge(kPurgeAll));
}

}  // namespace
}  // namespace quelmar::link
