// The production line end to end: quelmar-cli flash with fields and
// records against simulated boards, checked against the boards' flash
// dumps; uniqueness across boards, processes and kill -9; --json.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "image/image_store.h"
#include "image/image_writer.h"
#include "process.h"
#include "production/durable_file.h"
#include "production/sha256.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;
using namespace std::chrono_literals;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Sha(const Bytes& bytes) {
  return production::Sha256Hex(bytes.data(), bytes.size());
}

// Every record of a records file; a torn line fails the test unless
// allowed (a kill -9 may tear the last one).
std::vector<json> Records(const std::string& path, bool torn_allowed = false) {
  std::vector<json> out;
  const auto lines = Lines(ReadWholeFile(path));
  for (size_t i = 0; i < lines.size(); ++i) {
    json j = json::parse(lines[i], nullptr, false);
    if (j.is_discarded()) {
      EXPECT_TRUE(torn_allowed) << path << " line " << i + 1 << " is torn: " << lines[i];
      continue;
    }
    out.push_back(std::move(j));
  }
  return out;
}

// Simulated boards, each dumping its banks and data flash when stopped.
class Boards {
 public:
  explicit Boards(const TempDir& dir) : dir_(dir) {}
  void Add(int n, std::vector<std::string> extra = {}) {
    const std::string k = std::to_string(n);
    std::vector<std::string> args = {"--erase-ms",    "10",
                                     "--dump-code-a", dir_.File("a" + k + ".bin"),
                                     "--dump-code-b", dir_.File("b" + k + ".bin"),
                                     "--dump-data",   dir_.File("d" + k + ".bin"),
                                     "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    sims_[n] = std::make_unique<SimProcess>();
    ASSERT_TRUE(sims_[n]->Start(args));
  }
  std::vector<std::string> Ports(const std::vector<int>& ns) const {
    std::vector<std::string> ports;
    for (int n : ns) ports.push_back(sims_.at(n)->device());
    return ports;
  }
  std::string Port(int n) const { return sims_.at(n)->device(); }
  void StopAll() {
    for (auto& [n, sim] : sims_) sim->Stop();
  }
  Bytes BankA(int n) const { return FileBytes(dir_.File("a" + std::to_string(n) + ".bin")); }
  Bytes BankB(int n) const { return FileBytes(dir_.File("b" + std::to_string(n) + ".bin")); }
  Bytes Data(int n) const { return FileBytes(dir_.File("d" + std::to_string(n) + ".bin")); }

 private:
  const TempDir& dir_;
  std::map<int, std::unique_ptr<SimProcess>> sims_;
};

std::vector<std::string> Flash(const std::vector<std::string>& ports,
                               const std::vector<std::string>& options) {
  std::vector<std::string> args = {"flash"};
  args.insert(args.end(), ports.begin(), ports.end());
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

// A code image of 200000 bytes in bank A and 4096 in bank B, and 3000
// bytes of data (its image padded with 0xFF to 3072).
class ProductionLine : public ::testing::Test {
 protected:
  void SetUp() override {
    bank_a_ = RandomBytes(200000, 7);
    bank_b_ = RandomBytes(4096, 8);
    data_ = RandomBytes(3000, 9);
    data_.resize(3072, 0xFF);
    std::string error;
    ASSERT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                           image::BuildCodeFile(&bank_a_, &bank_b_, 'E'), &error));
    ASSERT_TRUE(image::WriteFileAtomically(dir_.File("cal.fdata"), image::BuildDataFile(data_, 'D'),
                                           &error));
  }
  std::string Code() const { return dir_.File("app.fcode"); }

  TempDir dir_;
  Bytes bank_a_, bank_b_, data_;
};

TEST_F(ProductionLine, FieldsLandByteExactAndRecordsHashWhatWasSent) {
  WriteWholeFile(dir_.File("labels.txt"), "LINE3-A\nLINE3-B\nLINE3-C\n");
  WriteWholeFile(dir_.File("line.toml"), R"(code = "app.fcode"
data = "cal.fdata"
records = "out/records.jsonl"

[[field]]
name = "serial"
at = 0x1A07FFFC
start = 4294967294
state = "serial.state"

[[field]]
name = "tag"
at = 0x1B001000
format = "text:QM-%08u"
start = 41
step = 2
state = "tag.state"

[[field]]
name = "mac"
at = "data:0xBF0"
format = "mac"
start = "02:51:4D:00:00:FF"
state = "mac.state"

[[field]]
name = "label"
at = "data:0xBF6"
format = "text"
size = 10
list = "labels.txt"
state = "label.state"
)");
  Boards boards(dir_);
  boards.Add(1);
  boards.Add(2);
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH,
                 Flash(boards.Ports({1, 2}), {"--profile", dir_.File("line.toml")}), {}, 240s);
  boards.StopAll();
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const auto records = Records(dir_.File("out/records.jsonl"));
  ASSERT_EQ(records.size(), 2u);

  std::set<uint64_t> serials;
  std::set<std::string> tags, macs, labels;
  for (const json& rec : records) {
    SCOPED_TRACE(rec.dump());
    const int n = rec["port"] == boards.Port(1) ? 1 : 2;
    const uint64_t serial = rec["fields"]["serial"];
    serials.insert(serial);
    // Two boards reserve at once, field by field: each board's bytes must
    // be the values its own record names, and the two boards together must
    // hold each source's first two values.
    const std::string tag = rec["fields"]["tag"], mac_text = rec["fields"]["mac"],
                      label = rec["fields"]["label"];
    tags.insert(tag);
    macs.insert(mac_text);
    labels.insert(label);
    const Bytes a = boards.BankA(n), b = boards.BankB(n), d = boards.Data(n);
    ASSERT_EQ(a.size(), 0x80000u);
    ASSERT_EQ(b.size(), 0x80000u);
    ASSERT_EQ(d.size(), 3072u) << "the data image as sent, padded to its last block";

    Bytes want_a(0x80000, 0xFF);
    std::copy(bank_a_.begin(), bank_a_.end(), want_a.begin());
    for (int k = 0; k < 4; ++k) want_a[0x7FFFC + k] = static_cast<uint8_t>(serial >> (8 * k));
    EXPECT_EQ(a, want_a);
    Bytes want_b(0x80000, 0xFF);
    std::copy(bank_b_.begin(), bank_b_.end(), want_b.begin());
    std::copy(tag.begin(), tag.end(), want_b.begin() + 0x1000);
    EXPECT_EQ(b, want_b);
    Bytes want_d = data_;
    ASSERT_EQ(mac_text.size(), 17u);
    for (int k = 0; k < 6; ++k)
      want_d[0xBF0 + k] = static_cast<uint8_t>(std::stoul(mac_text.substr(3 * k, 2), nullptr, 16));
    std::fill(want_d.begin() + 0xBF6, want_d.end(), 0);
    std::copy(label.begin(), label.end(), want_d.begin() + 0xBF6);
    EXPECT_EQ(d, want_d);

    EXPECT_EQ(rec["sent"]["bank_a_sha256"], Sha(a));
    EXPECT_EQ(rec["sent"]["bank_b_sha256"], Sha(b));
    EXPECT_EQ(rec["sent"]["data_sha256"], Sha(d));
    EXPECT_EQ(rec["code"]["sha256"], Sha(FileBytes(Code())));
    EXPECT_EQ(rec["profile"]["sha256"], Sha(FileBytes(dir_.File("line.toml"))));
    EXPECT_EQ(rec["result"], "ok");
    EXPECT_EQ(rec["bootloader"], "2.8");
    EXPECT_EQ(rec["chip"], "LPC4357");
    EXPECT_EQ(rec["chip_words"][0], "0xA001C830");
    EXPECT_NE(rec["log"].get<std::string>().find("Write extended CODE... OK."), std::string::npos);
  }
  EXPECT_EQ(serials, (std::set<uint64_t>{4294967294u, 4294967295u}));
  EXPECT_EQ(tags, (std::set<std::string>{"QM-00000041", "QM-00000043"}));
  EXPECT_EQ(macs, (std::set<std::string>{"02:51:4D:00:00:FF", "02:51:4D:00:01:00"}));
  EXPECT_EQ(labels, (std::set<std::string>{"LINE3-A", "LINE3-B"}));
  // The list's state names what it gave: the last value and the chained
  // hash of the values given.
  const std::string h1 = production::Sha256Hex("LINE3-A\n", 8);
  const std::string h2 = production::Sha256Hex((h1 + "LINE3-B\n").data(), h1.size() + 8);
  EXPECT_EQ(ReadWholeFile(dir_.File("label.state")), "used 2\nlast LINE3-B\nsha256 " + h2 + "\n");
}

// flash --auto with scans piped on stdin: each scan binds the next port
// that waits for one, in port order; a port without a scan starts no
// board; a unit its field cannot hold fails only its own board, before
// any erase. The run ends once stdin has ended and no scanned board is
// left.
TEST_F(ProductionLine, AutoBindsScansFromStdinAndWritesEachUnitAsItsField) {
  const std::string text = "format = \"text\"\nsize = 12\n";
  const std::string u32 = "format = \"u32le\"\n";
  struct Case {
    const char* what;
    std::string format;
    std::string scans;  // stdin; "" the null device
    int exit_code;
    std::vector<std::string> units;  // per port, the unit its board was written with; "" none
    std::string err;                 // on stderr
  };
  const Case cases[] = {
      {"two text units",
       text,
       "PCB-0001\nPCB-0002\n",
       0,
       {"PCB-0001", "PCB-0002"},
       "quelmar-cli: scan \"PCB-0002\" bound to "},
      {"one number for two ports",
       u32,
       "4000000000\n",
       0,
       {"4000000000", ""},
       "no more scans come"},
      {"a unit longer than the field",
       text,
       "PCB-0001-LONG\nPCB-0002\n",
       1,
       {"", "PCB-0002"},
       "unit \"PCB-0001-LONG\" (13 bytes) is longer than field 'serial''s size, 12"},
      {"a unit that is no number",
       u32,
       "PCB-7\n12\n",
       1,
       {"", "12"},
       "unit \"PCB-7\" is no decimal number without leading zeros"},
      {"leading zeros", u32, "007\n", 1, {""}, "unit \"007\" is no decimal number"},
      {"a unit too large", u32, "4294967296\n", 1, {""}, "unit \"4294967296\" does not fit"},
      {"no scan can come", text, "", 1, {"", ""}, "but no scan can come: stdin is no terminal"},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = "case" + std::to_string(++k);
    std::filesystem::create_directories(dir_.File(folder));
    WriteWholeFile(dir_.File(folder + "/line.toml"),
                   "code = \"../app.fcode\"\nrecords = \"records.jsonl\"\nscan = \"required\"\n"
                   "[[field]]\nname = \"serial\"\nat = 0x1A07FF00\nsource = \"scan\"\n" +
                       c.format);
    WriteWholeFile(dir_.File(folder + "/scans.txt"), c.scans);
    Boards boards(dir_);
    std::vector<int> ns;
    for (size_t i = 0; i < c.units.size(); ++i) {
      ns.push_back(k * 10 + static_cast<int>(i));
      boards.Add(ns.back());
    }
    const RunResult r = RunProgram(
        QUELMAR_CLI_PATH,
        Flash(boards.Ports(ns), {"--auto", "--profile", dir_.File(folder + "/line.toml")}), {},
        120s, c.scans.empty() ? "" : dir_.File(folder + "/scans.txt"));
    boards.StopAll();
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    const auto records =
        c.scans.empty() ? std::vector<json>{} : Records(dir_.File(folder + "/records.jsonl"));
    size_t written = 0;
    for (size_t i = 0; i < c.units.size(); ++i) {
      SCOPED_TRACE(boards.Port(ns[i]));
      const Bytes a = boards.BankA(ns[i]);
      ASSERT_EQ(a.size(), 0x80000u);
      const std::string& unit = c.units[i];
      if (unit.empty()) {
        EXPECT_EQ(a, Bytes(0x80000, 0x00)) << "a board without its unit was erased";
        continue;
      }
      ++written;
      Bytes want(12, 0);
      json shown = unit;
      if (c.format == u32) {
        const uint64_t n = std::stoull(unit);
        want.resize(4);
        for (int b = 0; b < 4; ++b) want[b] = static_cast<uint8_t>(n >> (8 * b));
        shown = n;
      } else {
        std::copy(unit.begin(), unit.end(), want.begin());
      }
      EXPECT_EQ(Bytes(a.begin() + 0x7FF00, a.begin() + 0x7FF00 + want.size()), want);
      const auto rec = std::find_if(records.begin(), records.end(), [&](const json& j) {
        return j["port"] == boards.Port(ns[i]) && j["result"] == "ok";
      });
      ASSERT_NE(rec, records.end()) << r.out;
      EXPECT_EQ((*rec)["unit"], unit);
      EXPECT_EQ((*rec)["fields"]["serial"], shown);
    }
    // A refused unit's board has its record, failed, without values.
    for (const json& rec : records) {
      if (rec["result"] == "ok") continue;
      EXPECT_EQ(rec["fields"], json::object());
      EXPECT_NE(rec["failure"].get<std::string>().find(c.err), std::string::npos) << rec.dump();
    }
    EXPECT_EQ(Occurrences(r.out, ": OK\n"), static_cast<int>(written)) << r.out;
    if (std::string(c.what) == "one number for two ports") {
      EXPECT_NE(r.out.find("Scan: the next scan binds " + boards.Port(ns[1]) + " (slot 2)\n"),
                std::string::npos)
          << r.out;
    }
  }
  // Without --auto no scan is read: the field is refused before any board.
  Boards boards(dir_);
  boards.Add(99);
  const RunResult r = RunProgram(
      QUELMAR_CLI_PATH, Flash(boards.Ports({99}), {"--profile", dir_.File("case1/line.toml")}), {},
      120s, dir_.File("case1/scans.txt"));
  boards.StopAll();
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("quelmar-cli: field 'serial' takes the board's scanned unit: flash takes "
                       "scans only with --auto; no board is written\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(boards.BankA(99), Bytes(0x80000, 0x00));
}

TEST_F(ProductionLine, RefusalsComeBeforeAnyBoardIsTouched) {
  WriteWholeFile(dir_.File("dup.txt"), "A\nB\nA\n");
  WriteWholeFile(dir_.File("bad.state"), "next ten\n");
  std::filesystem::create_directories(dir_.File("dir.jsonl"));
  const struct {
    const char* name;
    std::vector<std::string> options;
    const char* profile;  // written to p.toml and given when not null
    const char* said;     // in stderr
  } cases[] = {
      {"over code",
       {"--serial-at", "0x1A000100", "--serial-state", dir_.File("s.state")},
       nullptr,
       "field 'serial' at 0x1A000100: the image has bytes other than 0xFF there"},
      {"no data image",
       {"--serial-at", "data:0x10", "--serial-state", dir_.File("s.state")},
       nullptr,
       "field 'serial' at data:0x10: the data image is not written (no --data)"},
      {"does not fit",
       {"--serial-at", "0x1A07FF00", "--serial-state", dir_.File("s.state"), "--serial-start",
        "4294967296"},
       nullptr,
       "its start 4294967296 does not fit u32le"},
      {"corrupt state",
       {"--serial-at", "0x1A07FF00", "--serial-state", dir_.File("bad.state")},
       nullptr,
       "bad.state' is corrupt"},
      {"records unwritable",
       {"--records", dir_.File("dir.jsonl")},
       nullptr,
       "records: cannot open"},
      {"overlap",
       {},
       "code = \"app.fcode\"\n[[field]]\nname = \"a\"\nat = 0x1A07FF00\nstate = "
       "\"a.state\"\n[[field]]\nname = \"b\"\nat = 0x1A07FF03\nstate = \"b.state\"\n",
       "field 'b' at 0x1A07FF03: it overlaps field 'a' at 0x1A07FF00"},
      {"duplicate in list",
       {},
       "code = \"app.fcode\"\n[[field]]\nname = \"l\"\nat = 0x1A07FF00\n"
       "format = \"text\"\nsize = 4\nlist = \"dup.txt\"\nstate = \"l.state\"\n",
       "dup.txt' lines 1 and 3 hold the same value, \"A\""},
      {"unknown key",
       {},
       "code = \"app.fcode\"\nrecord = \"r.jsonl\"\n",
       "p.toml line 2: 'record': unknown key"},
  };
  SimProcess sim;  // not quiet: its summary counts the requests it saw
  ASSERT_TRUE(sim.Start({}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> options = c.options;
    if (c.profile != nullptr) {
      WriteWholeFile(dir_.File("p.toml"), c.profile);
      options.insert(options.end(), {"--profile", dir_.File("p.toml")});
    } else {
      options.insert(options.end(), {"--code", Code()});
    }
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, Flash({sim.device()}, options), {}, 60s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(Occurrences(r.err, "\n"), 1) << "one line: " << r.err;
  }
  sim.Stop();
  EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
}

// A pinned file whose bytes differ is refused with both hashes before any
// board, by flash and station alike; the right pin runs.
TEST_F(ProductionLine, APinnedFileWhoseBytesDifferIsRefusedBeforeAnyBoard) {
  const std::string actual = Sha(FileBytes(Code())), other(64, 'a');
  const std::string profile = dir_.File("pinned.toml");
  const auto pin = [&](const std::string& port, const std::string& sha) {
    WriteWholeFile(profile, "ports = [\"" + port + "\"]\ncode = \"app.fcode\"\ncode_sha256 = \"" +
                                sha + "\"\n");
  };
  SimProcess sim;  // not quiet: its summary counts the requests it saw
  ASSERT_TRUE(sim.Start({}));
  pin(sim.device(), other);
  for (const std::string command : {"flash", "station"}) {
    const RunResult r = RunProgram(QUELMAR_CLI_PATH,
                                   command == "flash" ? Flash({}, {"--profile", profile})
                                                      : std::vector<std::string>{command, profile},
                                   {}, 60s);
    EXPECT_EQ(r.exit_code, 1) << command << r.out;
    EXPECT_EQ(r.err, "quelmar-cli: '" + Code() + "' has SHA-256 " + actual +
                         ", but the profile pins code_sha256 = " + other +
                         ": no board is written\n");
  }
  sim.Stop();
  EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
  SimProcess good;
  ASSERT_TRUE(good.Start({"--erase-ms", "10", "--quiet"}));
  pin(good.device(), actual);
  const RunResult r = RunProgram(QUELMAR_CLI_PATH, Flash({}, {"--profile", profile}), {}, 120s);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

TEST_F(ProductionLine, AStateFileLockedByAHungProcessIsNamedAfterAFewSeconds) {
  production::FileLock hung;
  std::string why;
  ASSERT_TRUE(hung.Acquire(dir_.File("s.state.lock"), 0ms, &why)) << why;
  SimProcess sim;
  ASSERT_TRUE(sim.Start({}));
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH,
                 Flash({sim.device()}, {"--code", Code(), "--serial-at", "0x1A07FF00",
                                        "--serial-state", dir_.File("s.state")}),
                 {}, 60s);
  sim.Stop();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("s.state.lock' is locked for more than 3 s by process " +
                       std::to_string(getpid())),
            std::string::npos)
      << r.err;
  EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
}

// 8 boards in one process (--json on stdout) and 4 in another, at once, on
// one state file: 12 distinct values, and every --json line an object.
TEST_F(ProductionLine, EightBoardsAndASecondProcessOnOneStateFileGetDistinctValues) {
  Boards boards(dir_);
  std::vector<int> first, second;
  for (int n = 1; n <= 8; ++n) first.push_back(n);
  for (int n = 9; n <= 12; ++n) second.push_back(n);
  for (int n = 1; n <= 12; ++n) boards.Add(n);
  const std::vector<std::string> serial = {"--code",         Code(),
                                           "--serial-at",    "0x1A07FF00",
                                           "--serial-state", dir_.File("serial.state"),
                                           "--serial-start", "1000"};
  auto options = [&](const std::string& records, bool json_out) {
    std::vector<std::string> o = serial;
    o.insert(o.end(), {"--records", dir_.File(records)});
    if (json_out) o.push_back("--json");
    return o;
  };
  BackgroundProgram other;
  ASSERT_TRUE(
      other.Start(QUELMAR_CLI_PATH, Flash(boards.Ports(second), options("b.jsonl", false))));
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH, Flash(boards.Ports(first), options("a.jsonl", true)), {}, 180s);
  EXPECT_EQ(other.Wait(180s), 0) << other.Out() << other.Err();
  boards.StopAll();
  ASSERT_EQ(r.exit_code, 0) << r.err;

  std::set<uint64_t> values;
  size_t count = 0;
  for (const char* file : {"a.jsonl", "b.jsonl"}) {
    for (const json& rec : Records(dir_.File(file))) {
      values.insert(rec["fields"]["serial"].get<uint64_t>());
      ++count;
    }
  }
  EXPECT_EQ(count, 12u);
  EXPECT_EQ(values.size(), 12u);
  EXPECT_EQ(*values.begin(), 1000u);
  EXPECT_EQ(*values.rbegin(), 1011u);

  // --json: every line parses, each board starts first and ends with its
  // record, and the summary is the last line.
  std::map<int, std::vector<std::string>> by_board;
  const auto lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    const json j = json::parse(line, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "not JSON: " << line;
    ASSERT_TRUE(j.contains("type")) << line;
    if (j["type"] != "summary") by_board[j["board"].get<int>()].push_back(j["type"]);
  }
  EXPECT_EQ(json::parse(lines.back()),
            json({{"type", "summary"}, {"boards", 8}, {"ok", 8}, {"failed", 0}, {"stopped", 0}}));
  ASSERT_EQ(by_board.size(), 8u);
  for (const auto& [board, types] : by_board) {
    SCOPED_TRACE(board);
    EXPECT_EQ(types.front(), "board_start");
    EXPECT_EQ(types.back(), "record");
    EXPECT_EQ(std::count(types.begin(), types.end(), "step"), 2) << "identify, code";
  }
  // Each board's --json record is the line in its records file.
  EXPECT_EQ(Records(dir_.File("a.jsonl")).size(), 8u);
}

// kill -9 at a random moment, then a second run on the same state file:
// no value appears twice across both records files.
TEST_F(ProductionLine, AKillAtAnyMomentNeverGivesAValueTwice) {
  std::mt19937 random(static_cast<unsigned>(getpid()));
  size_t total_records = 0;
  std::set<uint64_t> seen;
  for (int round = 0; round < 3; ++round) {
    const int delay_ms = static_cast<int>(random() % 2500);
    SCOPED_TRACE(::testing::Message() << "round " << round << ", kill after " << delay_ms << " ms");
    const std::vector<std::string> serial = {
        "--code", Code(), "--serial-at", "0x1A07FF00", "--serial-state", dir_.File("serial.state")};
    auto options = [&](const std::string& records) {
      std::vector<std::string> o = serial;
      o.insert(o.end(), {"--records", dir_.File(records)});
      return o;
    };
    const std::string killed = "killed" + std::to_string(round) + ".jsonl";
    const std::string after = "after" + std::to_string(round) + ".jsonl";
    {
      Boards boards(dir_);
      for (int n = 1; n <= 4; ++n) boards.Add(n);
      BackgroundProgram cli;
      ASSERT_TRUE(cli.Start(QUELMAR_CLI_PATH, Flash(boards.Ports({1, 2, 3, 4}), options(killed))));
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      cli.Signal(SIGKILL);
      cli.Wait(30s);
      boards.StopAll();
    }
    {
      Boards boards(dir_);
      for (int n = 1; n <= 4; ++n) boards.Add(n);
      const RunResult r =
          RunProgram(QUELMAR_CLI_PATH, Flash(boards.Ports({1, 2, 3, 4}), options(after)), {}, 120s);
      boards.StopAll();
      EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    for (const std::string& file : {killed, after}) {
      if (!std::filesystem::exists(dir_.File(file))) continue;
      for (const json& rec : Records(dir_.File(file), file == killed)) {
        const uint64_t v = rec["fields"]["serial"];
        EXPECT_TRUE(seen.insert(v).second) << v << " given twice (" << file << ")";
        ++total_records;
      }
    }
  }
  EXPECT_GE(total_records, 12u) << "every second run wrote its four boards";
  std::printf("kill -9 test: %zu records, %zu distinct values, state %s", total_records,
              seen.size(), ReadWholeFile(dir_.File("serial.state")).c_str());
}

// A records file edited by hand or by another tool: records of the wrong
// types between good ones. Every listing shows the good ones and names the
// lines it skipped; none of them aborts. A label a spreadsheet would run as
// a formula reaches the CSV defused.
TEST(RecordsCommand, MistypedRecordsAreSkippedAndFormulasDefused) {
  TempDir dir;
  using ordered = nlohmann::ordered_json;
  auto record = [](unsigned board, const ordered& result, const std::string& label) {
    const ordered r = {
        {"time_start", "2026-12-08T07:38:41.123Z"},
        {"port", "COM3"},
        {"board", board},
        {"result", result},
        {"failure", result == "ok" ? ordered(nullptr) : ordered("Write CODE... Failed")},
        {"fields", {{"serial", 100000 + board}, {"label", label}}}};
    return r.dump() + "\n";
  };
  const std::string file = dir.File("records.jsonl");
  WriteWholeFile(file, record(1, "ok", "A1") + record(2, nullptr, "A2") +
                           record(3, "failed", "=HYPERLINK(\"http://x.example\",\"open\")") +
                           record(4, 7, "A4") + "{\"torn\n" + record(5, "ok", "-5"));
  const std::string skipped = "quelmar-cli: " + file +
                              ": line 2: 'result' should be text, not null: skipped\n"
                              "quelmar-cli: " +
                              file +
                              ": line 4: 'result' should be text, not a number: skipped\n"
                              "quelmar-cli: " +
                              file + ": line 5: torn or not a record: skipped\n";
  const RunResult failed = RunProgram(QUELMAR_CLI_PATH, {"records", file, "--failed"});
  EXPECT_EQ(failed.exit_code, 0) << failed.err;
  EXPECT_EQ(failed.err, skipped);
  EXPECT_EQ(Lines(failed.out),
            std::vector<std::string>{
                "2026-12-08T07:38:41.123Z  COM3  board 3  failed  serial=100003  "
                "label==HYPERLINK(\"http://x.example\",\"open\")  (Write CODE... Failed)"});

  const RunResult all = RunProgram(QUELMAR_CLI_PATH, {"records", file, "--serial", "100005"});
  EXPECT_EQ(all.exit_code, 0) << all.err;
  EXPECT_EQ(Lines(all.out).size(), 1u);

  const RunResult csv = RunProgram(QUELMAR_CLI_PATH, {"records", file, "--csv"});
  EXPECT_EQ(csv.exit_code, 0) << csv.err;
  EXPECT_EQ(csv.err, skipped);
  const auto rows = Lines(csv.out);
  ASSERT_EQ(rows.size(), 4u) << csv.out;
  EXPECT_NE(rows[2].find(",100003,\"'=HYPERLINK(\"\"http://x.example\"\",\"\"open\"\")\","),
            std::string::npos)
      << rows[2];
  EXPECT_NE(rows[3].find(",100005,'-5,"), std::string::npos) << rows[3];
}

}  // namespace
}  // namespace quelmar::testing
