// The RFC 2217 client over a scripted stream: negotiation, the answers it
// checks, and the purge that keeps a late byte from being taken as a reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "link/net_port.h"
#include "link/telnet.h"

namespace quelmar::link {
namespace {

using Bytes = std::vector<uint8_t>;

// The server's side: chunks to hand out one Receive at a time (an empty
// one is a moment in which nothing comes), and all the client sent.
struct Script {
  std::mutex mutex;
  std::deque<Bytes> to_client;
  Bytes from_client;
  bool closed_when_empty = false;
  // How many more bytes the server takes before it stops reading.
  size_t room = SIZE_MAX;
};

class ScriptedStream final : public TcpStream {
 public:
  explicit ScriptedStream(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  int Receive(uint8_t* buffer, size_t n, int timeout_ms) override {
    {
      std::lock_guard lock(script_->mutex);
      if (script_->to_client.empty()) {
        if (script_->closed_when_empty) return -1;
      } else if (script_->to_client.front().empty()) {
        script_->to_client.pop_front();
      } else {
        Bytes& chunk = script_->to_client.front();
        const size_t k = std::min(n, chunk.size());
        std::copy(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(k), buffer);
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(k));
        if (chunk.empty()) script_->to_client.pop_front();
        return static_cast<int>(k);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 2)));
    return 0;
  }
  int Send(const uint8_t* data, size_t n, int timeout_ms) override {
    {
      std::lock_guard lock(script_->mutex);
      const size_t k = std::min(n, script_->room);
      if (k > 0) {
        script_->from_client.insert(script_->from_client.end(), data, data + k);
        script_->room -= k;
        return static_cast<int>(k);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 2)));
    return 0;
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
const PortUrl kRawUrl{PortUrl::Kind::kRaw, "board-host", 7000};

OpenResult Open(const std::shared_ptr<Script>& script, const PortUrl& url = kUrl) {
  return OpenNetPortOn(std::make_unique<ScriptedStream>(script), url, kQuick);
}

// A port past its open: rfc2217 through ser2net's greeting and answers,
// raw at once.
OpenResult OpenReady(const std::shared_ptr<Script>& script, PortUrl::Kind kind) {
  if (kind == PortUrl::Kind::kRaw) return Open(script, kRawUrl);
  script->to_client = {Ser2netGreeting(), Ser2netSettingAnswers()};
  return Open(script);
}

void Serve(const std::shared_ptr<Script>& script, std::deque<Bytes> chunks) {
  std::lock_guard lock(script->mutex);
  script->to_client = std::move(chunks);
}

Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
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

// The server stops reading part-way through a block (its host hung, the
// network stalled). What went is counted in our bytes, not the wire's, and
// the connection is given up: the server may sit inside a half-sent command
// of ours and take the next one (a purge, whose answer then never comes) as
// the rest of it.
TEST(Rfc2217Client, AWriteThatStallsPartWayCountsWholeBytesAndEndsTheConnection) {
  constexpr auto kTelnet = PortUrl::Kind::kRfc2217;
  struct Case {
    const char* name;
    PortUrl::Kind kind;
    Bytes block;
    size_t room;       // bytes of the block's encoding the server takes
    uint32_t written;  // what the port says went
    bool broken;
  } cases[] = {
      {"two 0xFF whole, then nothing", kTelnet, {0xFF, 0xFF, 0x01, 0x02}, 4, 2, true},
      {"the second 0xFF half sent", kTelnet, {0xFF, 0xFF, 0x01, 0x02}, 3, 1, true},
      {"0xFF half sent after a plain byte", kTelnet, {0x01, 0xFF, 0x02}, 2, 1, true},
      {"all but the last 0xFF's second half", kTelnet, {0x10, 0x20, 0xFF}, 3, 2, true},
      {"raw: bytes as they are", PortUrl::Kind::kRaw, {0xFF, 0x01, 0x02}, 2, 2, true},
      {"nothing went: the stream is whole", kTelnet, {0xFF, 0x01}, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    OpenResult opened = OpenReady(script, c.kind);
    ASSERT_NE(opened.port, nullptr) << opened.advice;
    SerialPort& port = *opened.port;
    {
      std::lock_guard lock(script->mutex);
      script->room = c.room;
    }
    uint32_t written = 99;
    EXPECT_FALSE(port.Write(c.block.data(), static_cast<uint32_t>(c.block.size()), &written));
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(port.HungUp(), c.broken);
    // The server reads again; only a connection left whole goes on.
    {
      std::lock_guard lock(script->mutex);
      script->room = SIZE_MAX;
      script->to_client = {Answer(telnet::kPurgeData, 3)};
    }
    EXPECT_EQ(port.Purge(kPurgeAll), !c.broken);
    EXPECT_EQ(port.Write(c.block.data(), static_cast<uint32_t>(c.block.size()), &written),
              !c.broken);
  }
}

// Until a purge is answered, what comes is dropped as sent before it, so a
// server that lost the answer would swallow every later reply. A read that
// ends without the answer ends the connection instead (the next open is a
// new one); an answer that comes late but within the read is fine.
TEST(Rfc2217Client, APurgeAnswerThatDoesNotComeWithinTheReadEndsTheConnection) {
  const Bytes reply{0xAA, 0x01, 0x02, 0x03};
  std::deque<Bytes> late_answer(20, Bytes{});
  late_answer.push_back(Answer(telnet::kPurgeData, 3));
  late_answer.push_back(reply);
  struct Case {
    const char* name;
    int purges;                // in a row before the read
    std::deque<Bytes> server;  // after them
    bool answered;
  } cases[] = {
      {"never answered, the reply comes", 1, {reply}, false},
      {"never answered, nothing comes", 1, {}, false},
      {"only the first of two answered", 2, {Answer(telnet::kPurgeData, 3), reply}, false},
      {"answered late, within the read", 1, late_answer, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    OpenResult opened = OpenReady(script, PortUrl::Kind::kRfc2217);
    ASSERT_NE(opened.port, nullptr) << opened.advice;
    SerialPort& port = *opened.port;
    ASSERT_TRUE(port.SetCommTimeouts(ReadTimeouts{5, 200}));
    for (int i = 0; i < c.purges; ++i) ASSERT_TRUE(port.Purge(kPurgeAll));
    Serve(script, c.server);
    uint8_t got[4] = {};
    EXPECT_EQ(port.Read(got, 4), c.answered ? 4u : 0u);
    if (c.answered) {
      EXPECT_EQ(Bytes(got, got + 4), reply);
    }
    EXPECT_EQ(port.HungUp(), !c.answered);
    // The next exchange, answered in full, goes through only on a
    // connection still trusted.
    EXPECT_EQ(port.Purge(kPurgeAll), c.answered);
    Serve(script, {Answer(telnet::kPurgeData, 3), reply});
    EXPECT_EQ(port.Read(got, 4), c.answered ? 4u : 0u);
  }
}

// A purge that could not be sent at all (the server not reading for a
// while) leaves the connection whole and awaits no answer: the next purge's
// answer is the one that lets the reply through.
TEST(Rfc2217Client, APurgeThatCouldNotBeSentAwaitsNoAnswer) {
  auto script = std::make_shared<Script>();
  OpenResult opened = OpenReady(script, PortUrl::Kind::kRfc2217);
  ASSERT_NE(opened.port, nullptr) << opened.advice;
  SerialPort& port = *opened.port;
  ASSERT_TRUE(port.SetCommTimeouts(ReadTimeouts{5, 200}));
  {
    std::lock_guard lock(script->mutex);
    script->room = 0;
  }
  EXPECT_FALSE(port.Purge(kPurgeAll));
  EXPECT_FALSE(port.HungUp());
  {
    std::lock_guard lock(script->mutex);
    script->room = SIZE_MAX;
  }
  ASSERT_TRUE(port.Purge(kPurgeAll));
  const Bytes reply{0xAA, 0x01, 0x02, 0x03};
  Serve(script, {Answer(telnet::kPurgeData, 3), reply});
  uint8_t got[4] = {};
  EXPECT_EQ(port.Read(got, 4), 4u);
  EXPECT_EQ(Bytes(got, got + 4), reply);
}

// A liveness probe purges again and again with no read between: one purge
// still unanswered after a read's time ends the connection there too.
TEST(Rfc2217Client, PurgesInARowEndTheConnectionWhenOneIsNotAnswered) {
  for (bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "answered" : "not answered");
    auto script = std::make_shared<Script>();
    OpenResult opened = OpenReady(script, PortUrl::Kind::kRfc2217);
    ASSERT_NE(opened.port, nullptr) << opened.advice;
    SerialPort& port = *opened.port;
    // A one-byte read may take 11 ms.
    ASSERT_TRUE(port.SetCommTimeouts(ReadTimeouts{1, 10}));
    bool alive = true;
    for (int probe = 0; probe < 4 && alive; ++probe) {
      alive = port.Purge(kPurgeAll);
      if (answered) Serve(script, {Answer(telnet::kPurgeData, 3)});
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(alive, answered);
    EXPECT_EQ(port.HungUp(), !answered);
  }
}

// Bytes that reached this machine before the purge (the late end of an
// earlier reply) are not the answer to what follows it.
TEST(Rfc2217Client, APurgeDiscardsBytesAlreadyReceived) {
  struct Case {
    const char* name;
    PortUrl::Kind kind;
    bool short_read_first;  // part taken by a shorter read, the rest left over
  } cases[] = {
      {"rfc2217, not yet read", PortUrl::Kind::kRfc2217, false},
      {"rfc2217, left over by a shorter read", PortUrl::Kind::kRfc2217, true},
      {"raw, not yet read", PortUrl::Kind::kRaw, false},
      {"raw, left over by a shorter read", PortUrl::Kind::kRaw, true},
  };
  const Bytes reply{0xAA, 0x01, 0x02, 0x03};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    OpenResult opened = OpenReady(script, c.kind);
    ASSERT_NE(opened.port, nullptr) << opened.advice;
    SerialPort& port = *opened.port;
    ASSERT_TRUE(port.SetCommTimeouts(ReadTimeouts{5, 200}));
    Serve(script, {Bytes{0xEE, 0xEE, 0xEE, 0xEE}});
    if (c.short_read_first) {
      uint8_t two[2];
      ASSERT_EQ(port.Read(two, 2), 2u);
    }
    ASSERT_TRUE(port.Purge(kPurgeAll));
    if (c.kind == PortUrl::Kind::kRfc2217) {
      Serve(script, {Answer(telnet::kPurgeData, 3), reply});
    } else {
      Serve(script, {reply});
    }
    uint8_t got[4] = {};
    EXPECT_EQ(port.Read(got, 4), 4u);
    EXPECT_EQ(Bytes(got, got + 4), reply);
  }
}

// The board's replies are binary: a line with XON/XOFF would lose every
// 0x11 and 0x13, one with hardware flow control stall on an unwired line.
TEST(Rfc2217Client, AServerThatLeavesFlowControlOnIsRefused) {
  struct Case {
    const char* name;
    uint8_t outbound;  // the server's answer to "no flow control"
    uint8_t inbound;   // and to "no inbound flow control"
    bool opens;
  } cases[] = {
      {"none either way", 1, 14, true},
      {"XON/XOFF", 2, 14, false},
      {"hardware", 3, 14, false},
      {"DCD", 17, 14, false},
      {"DSR", 19, 14, false},
      {"inbound XON/XOFF", 1, 15, false},
      {"inbound hardware", 1, 16, false},
      {"inbound DTR", 1, 18, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    script->to_client = {
        Ser2netGreeting(),
        Cat({Answer(telnet::kSetBaudRate, 115200), Answer(telnet::kSetDataSize, 8),
             Answer(telnet::kSetParity, 1), Answer(telnet::kSetStopSize, 1),
             Answer(telnet::kSetControl, c.outbound), Answer(telnet::kSetControl, c.inbound),
             Answer(telnet::kPurgeData, 3)})};
    OpenResult opened = Open(script);
    EXPECT_EQ(opened.port != nullptr, c.opens) << opened.advice;
    if (c.opens) continue;
    EXPECT_EQ(opened.error, OpenError::kOther);
    EXPECT_EQ(opened.advice,
              "rfc2217://board-host:7000 refused to set its line to 115200 baud, 8 data bits, no "
              "parity, 1 stop bit, no flow control.");
  }
}

// ser2net says "Port already in use" to a client it turns away, after the
// same telnet offer every client gets, and closes; it never answers that
// client's serial-port commands. A board that prints "in use" is no such
// refusal.
TEST(Rfc2217Client, InUseIsTheServersWordOnlyBeforeItTakesUsOn) {
  const Bytes board_text = Text("Flash in use, please wait\r\n");
  const Bytes refusal = Text("Port already in use\r\n");
  constexpr auto kTelnet = PortUrl::Kind::kRfc2217;
  constexpr auto kRaw = PortUrl::Kind::kRaw;
  struct Case {
    const char* name;
    PortUrl::Kind kind;
    std::deque<Bytes> server;
    bool closes;
    OpenError error;
    const char* advice;
  } cases[] = {
      {"board text with the offer",
       kTelnet,
       {Cat({Ser2netGreeting(), board_text}), Ser2netSettingAnswers()},
       false,
       OpenError::kNone,
       ""},
      {"board text after the answers",
       kTelnet,
       {Ser2netGreeting(), Cat({Ser2netSettingAnswers(), board_text})},
       false,
       OpenError::kNone,
       ""},
      {"board text, then a baud rate refused",
       kTelnet,
       {Cat({Ser2netGreeting(), board_text}), Ser2netSettingAnswers(9600)},
       false,
       OpenError::kOther,
       "rfc2217://board-host:7000 refused to set its line to 115200 baud, 8 data bits, no parity, "
       "1 stop bit, no flow control."},
      {"an answer, board text, then the server hangs up",
       kTelnet,
       {Ser2netGreeting(), Cat({Answer(telnet::kSetBaudRate, 115200), board_text})},
       true,
       OpenError::kOther,
       "rfc2217://board-host:7000 closed the connection while its line was set up."},
      {"ser2net's refusal in one piece with its offer",
       kTelnet,
       {Cat({Ser2netGreeting(), refusal})},
       true,
       OpenError::kBusy,
       "rfc2217://board-host:7000 is in use by another client of its server."},
      {"raw: board text at once", kRaw, {board_text}, false, OpenError::kNone, ""},
      {"raw: ser2net's refusal",
       kRaw,
       {refusal},
       true,
       OpenError::kBusy,
       "socket://board-host:7000 is in use by another client of its server."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    script->to_client = c.server;
    script->closed_when_empty = c.closes;
    OpenResult opened = Open(script, c.kind == kRaw ? kRawUrl : kUrl);
    EXPECT_EQ(opened.port != nullptr, c.error == OpenError::kNone);
    EXPECT_EQ(opened.error, c.error);
    EXPECT_EQ(opened.advice, c.advice);
  }
}

}  // namespace
}  // namespace quelmar::link
