// The telnet decoder and encoder, and port addresses by URL.
#include <gtest/gtest.h>

#include <vector>

#include "link/port_url.h"
#include "link/telnet.h"

namespace quelmar::link {
namespace {

using Bytes = std::vector<uint8_t>;
using telnet::Event;
using Kind = telnet::Event::Kind;

struct Decoded {
  Bytes data;
  std::vector<Event> events;
};

// Feeds the stream in pieces cut at the given offsets.
Decoded Decode(const Bytes& stream, const std::vector<size_t>& cuts = {}) {
  telnet::Decoder decoder;
  Decoded out;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t end : ends) {
    decoder.Feed(stream.data() + from, end - from, &out.data, &out.events);
    from = end;
  }
  return out;
}

TEST(TelnetDecoder, CommandsAndDataInOrder) {
  struct Case {
    const char* name;
    Bytes stream;
    Bytes data;
    std::vector<Event> events;
  } cases[] = {
      {"plain data", {1, 2, 3}, {1, 2, 3}, {}},
      {"doubled IAC is one 0xFF", {0xFF, 0xFF, 7, 0xFF, 0xFF}, {0xFF, 7, 0xFF}, {}},
      {"options",
       {5, 0xFF, 251, 0, 0xFF, 254, 1, 6},
       {5, 6},
       {{Kind::kPeerWill, 0, {}, 1}, {Kind::kPeerDont, 1, {}, 1}}},
      {"server's purge answer between data",
       {9, 0xFF, 250, 44, 112, 3, 0xFF, 240, 10},
       {9, 10},
       {{Kind::kSubnegotiation, 44, {112, 3}, 1}}},
      {"doubled IAC inside a subnegotiation",
       {0xFF, 250, 44, 101, 0xFF, 0xFF, 0, 0, 0xFF, 240},
       {},
       {{Kind::kSubnegotiation, 44, {101, 0xFF, 0, 0}, 0}}},
      {"missing SE ends the subnegotiation at the next command",
       {0xFF, 250, 44, 107, 0, 0xFF, 253, 3, 4},
       {4},
       {{Kind::kSubnegotiation, 44, {107, 0}, 0}, {Kind::kPeerDo, 3, {}, 0}}},
      {"NOP is a command, stray SE is nothing",
       {0xFF, 241, 0xFF, 240, 8},
       {8},
       {{Kind::kCommand, 241, {}, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, then cut at every position: the result may not change.
    for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      const Decoded d = Decode(c.stream, {cut});
      EXPECT_EQ(d.data, c.data);
      EXPECT_EQ(d.events, c.events);
    }
  }
}

TEST(TelnetDecoder, ByteAtATimeEqualsWhole) {
  Bytes stream;
  for (int i = 0; i < 300; ++i) stream.push_back(static_cast<uint8_t>(i * 37));
  stream.insert(stream.end(), {0xFF, 250, 44, 112, 3, 0xFF, 240, 0xFF, 0xFF, 0xFF, 251, 3});
  std::vector<size_t> every;
  for (size_t i = 1; i < stream.size(); ++i) every.push_back(i);
  const Decoded whole = Decode(stream);
  const Decoded bytewise = Decode(stream, every);
  EXPECT_EQ(bytewise.data, whole.data);
  EXPECT_EQ(bytewise.events, whole.events);
}

TEST(TelnetDecoder, OverlongSubnegotiationIsDroppedNotGrown) {
  Bytes stream{0xFF, 250, 44};
  stream.insert(stream.end(), telnet::kMaxSubnegotiation + 500, 0x41);
  stream.insert(stream.end(), {0xFF, 240, 0x55});
  const Decoded d = Decode(stream);
  EXPECT_TRUE(d.events.empty());
  EXPECT_EQ(d.data, Bytes{0x55});
}

TEST(TelnetEncoder, EveryIacIsDoubledAndDecodesBack) {
  // 0xFF at every position of a short block, and a block of nothing else.
  for (size_t at = 0; at < 6; ++at) {
    Bytes block{1, 2, 3, 4, 5, 6};
    block[at] = 0xFF;
    Bytes wire;
    telnet::AppendEscaped(block.data(), block.size(), &wire);
    EXPECT_EQ(wire.size(), block.size() + 1);
    EXPECT_EQ(wire[at], 0xFF);
    EXPECT_EQ(wire[at + 1], 0xFF);
    EXPECT_EQ(Decode(wire).data, block);
  }
  const Bytes erased(512, 0xFF);
  Bytes wire;
  telnet::AppendEscaped(erased.data(), erased.size(), &wire);
  EXPECT_EQ(wire, Bytes(1024, 0xFF));
  EXPECT_EQ(Decode(wire).data, erased);
}

TEST(TelnetEncoder, ComPortCommands) {
  struct Case {
    uint8_t command;
    uint32_t value;
    Bytes wire;
  } cases[] = {
      {telnet::kSetBaudRate, 115200, {0xFF, 250, 44, 1, 0x00, 0x01, 0xC2, 0x00, 0xFF, 240}},
      {telnet::kSetDataSize, 8, {0xFF, 250, 44, 2, 8, 0xFF, 240}},
      {telnet::kSetParity, 1, {0xFF, 250, 44, 3, 1, 0xFF, 240}},
      {telnet::kSetControl, 1, {0xFF, 250, 44, 5, 1, 0xFF, 240}},
      {telnet::kPurgeData, 3, {0xFF, 250, 44, 12, 3, 0xFF, 240}},
      // A value byte of 0xFF is doubled inside the subnegotiation.
      {telnet::kSetBaudRate,
       0x0000FFFF,
       {0xFF, 250, 44, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 240}},
  };
  for (const Case& c : cases) {
    Bytes wire;
    telnet::AppendComPortCommand(c.command, c.value, &wire);
    EXPECT_EQ(wire, c.wire) << "command " << int{c.command};
  }
}

TEST(PortUrl, ParsesAndRefuses) {
  struct Case {
    const char* text;
    bool ok;
    PortUrl::Kind kind;
    const char* host;
    uint16_t port;
    const char* canonical;
  } cases[] = {
      {"rfc2217://board-host:7000", true, PortUrl::Kind::kRfc2217, "board-host", 7000,
       "rfc2217://board-host:7000"},
      {"RFC2217://Lab.Example.org:2001", true, PortUrl::Kind::kRfc2217, "lab.example.org", 2001,
       "rfc2217://lab.example.org:2001"},
      {"socket://192.168.1.20:4001", true, PortUrl::Kind::kRaw, "192.168.1.20", 4001,
       "socket://192.168.1.20:4001"},
      {"rfc2217://[::1]:7000", true, PortUrl::Kind::kRfc2217, "::1", 7000, "rfc2217://[::1]:7000"},
      {"socket://[fe80::1:2]:65535", true, PortUrl::Kind::kRaw, "fe80::1:2", 65535,
       "socket://[fe80::1:2]:65535"},
      {"rfc2217://host", false, {}, "", 0, ""},
      {"rfc2217://host:", false, {}, "", 0, ""},
      {"rfc2217://:7000", false, {}, "", 0, ""},
      {"rfc2217://host:0", false, {}, "", 0, ""},
      {"rfc2217://host:65536", false, {}, "", 0, ""},
      {"rfc2217://host:07000", false, {}, "", 0, ""},
      {"rfc2217://host:70x0", false, {}, "", 0, ""},
      {"rfc2217://::1:7000", false, {}, "", 0, ""},
      {"rfc2217://[::1]7000", false, {}, "", 0, ""},
      {"rfc2217://[host]:7000", false, {}, "", 0, ""},
      {"rfc2217://-o:7000", false, {}, "", 0, ""},
      {"rfc2217://ho st:7000", false, {}, "", 0, ""},
      {"telnet://host:7000", false, {}, "", 0, ""},
      {"/dev/ttyUSB0", false, {}, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto url = ParsePortUrl(c.text);
    ASSERT_EQ(url.has_value(), c.ok);
    if (!url) continue;
    EXPECT_EQ(url->kind, c.kind);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->Text(), c.canonical);
  }
}

}  // namespace
}  // namespace quelmar::link
