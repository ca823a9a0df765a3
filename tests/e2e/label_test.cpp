// Labels printed after simulated boards, as an operator's station meets
// its printer: one that takes every label, one that refuses the connection
// and one that accepts and never reads. The board stays OK whatever the
// printer does, its record says what was sent and whether it was printed,
// and the next board on the slot does not wait for the printer. Then
// `label reprint` sends a recorded label again, byte for byte.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "image/image_writer.h"
#include "printer.h"
#include "process.h"
#include "production/label.h"
#include "production/sha256.h"
#include "station_client.h"

namespace quelmar::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::vector<json> Records(const std::string& path) {
  std::vector<json> out;
  std::istringstream in(ReadWholeFile(path));
  for (std::string line; std::getline(in, line);) {
    json j = json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << line;
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

// The template an engineer writes: text and a QR code of the serial, the
// unit, the board's MAC address.
constexpr char kTemplate[] =
    "^XA\n^FO30,30^A0N,40,40^FDSN {serial}^FS\n^FO30,80^A0N,30,30^FDUnit {unit}^FS\n"
    "^FO30,120^BQN,2,6^FDQA,{serial}^FS\n^XZ\n";

class Labels : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto bank_a = RandomBytes(6000, 11);
    std::string error;
    ASSERT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                           image::BuildCodeFile(&bank_a, nullptr, 'E'), &error))
        << error;
    WriteWholeFile(dir_.File("board.zpl"), kTemplate);
  }
  std::vector<std::string> Env() const { return {"QUELMAR_PORT_DIR=" + ports_.path()}; }
  // The product's part of a profile: code, a serial number per board, the
  // records and the label's template.
  std::string Product(const std::string& printer, unsigned timeout_ms) const {
    return "code = \"app.fcode\"\nreboot = true\nrecords = \"" + dir_.File("records.jsonl") +
           "\"\n\n[[field]]\nname = \"serial\"\nat = 0x1A07FFF0\nformat = \"text:QM-%06u\"\n"
           "start = 70\nstate = \"" +
           dir_.File("serial.state") + "\"\n\n[label]\ntemplate = \"board.zpl\"\nprinter = \"" +
           printer + "\"\ntimeout_ms = " + std::to_string(timeout_ms) + "\n";
  }

  // A run of one board (or --auto of one) whose label now waits on a
  // printer that never reads, bounded at 120 s.
  void StartOnStalledLabel(Printer& stalled, bool auto_mode, SimProcess* sim,
                           BackgroundProgram* flash) {
    WriteWholeFile(dir_.File("stalled.toml"), Product(stalled.Target(), 120000));
    ASSERT_TRUE(sim->Start({"--quiet", "--after-reboot", "hangup"}));
    std::vector<std::string> args = {"flash", sim->device(), "--profile",
                                     dir_.File("stalled.toml")};
    if (auto_mode) args.insert(args.end(), {"--auto", "--count", "1"});
    ASSERT_TRUE(flash->Start(QUELMAR_CLI_PATH, args));
    ASSERT_TRUE(stalled.WaitForConnection(60s)) << flash->Out() << flash->Err();
  }

  TempDir dir_;
  TempDir ports_;  // mode 0700, ours: a port folder the program trusts
};

TEST_F(Labels, ABoardIsOkWhateverThePrinterDoesAndTheNextOneDoesNotWaitForIt) {
  const struct {
    const char* what;
    Printer::Mode mode;
    bool printed;
    std::string why;  // in the record's why and on the tile
  } cases[] = {
      {"a printer that takes the label", Printer::Mode::kTake, true, ""},
      {"a printer that refuses the connection", Printer::Mode::kRefuse, false,
       "connection refused"},
      {"a printer that never reads", Printer::Mode::kStall, false,
       "did not take the label within 6000 ms"},
      {"a printer that throws the label away unread", Printer::Mode::kDrop, false,
       "reset the connection: it may not have taken the label"},
  };
  int com = 41;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(dir_.File("records.jsonl").c_str());
    Printer printer(c.mode);
    const std::string port = "COM" + std::to_string(com++);
    StationRun station;
    // scan = "required": each board is bound to the unit scanned for it.
    ASSERT_TRUE(station.Start(
        dir_, "ports = [\"" + port + "\"]\nscan = \"required\"\n" + Product(printer.Target(), 6000),
        Env()));
    // The operator scans a unit, plugs its board in, takes it out when
    // it is OK (the simulated board hangs up after its reboot), and goes
    // on with the next.
    const std::vector<std::string> units = {"PCB-" + std::to_string(com) + "A",
                                            "PCB-" + std::to_string(com) + "B"};
    json last;
    for (size_t b = 0; b < units.size(); ++b) {
      SimProcess sim;
      ASSERT_TRUE(
          sim.Start({"--com", port.substr(3), "--after-reboot", "hangup", "--quiet"}, Env()));
      // The board waits for its scan (the tile says SCAN); a scan before
      // the station saw the board is refused, and scanned again.
      std::string answer;
      const auto end = std::chrono::steady_clock::now() + 30s;
      while (!station.Scan(units[b], &answer) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(100ms);
      ASSERT_NE(answer.find("\"taken\":true"), std::string::npos) << answer;
      ASSERT_TRUE(station.WaitFor([&](const json& s) { return s["slots"][0]["boards"] == b + 1; },
                                  60s, &last))
          << last.dump() << station.program().Err();
      EXPECT_EQ(last["slots"][0]["state"], "ok") << last.dump();
      if (b == 1 && c.mode == Printer::Mode::kStall) {
        // Board 2 ended while board 1's label still waits for the printer.
        EXPECT_EQ(last["slots"][0]["label_failure"], "") << last.dump();
      }
      sim.Wait(20s);
    }
    if (!c.printed) {
      ASSERT_TRUE(station.WaitFor(
          [&](const json& s) { return s["slots"][0]["label_failure"] != ""; }, 30s, &last))
          << last.dump();
      EXPECT_NE(last["slots"][0]["label_failure"].get<std::string>().find(c.why), std::string::npos)
          << last.dump();
    } else {
      ASSERT_TRUE(printer.WaitForLabels(2, 30s));
    }
    EXPECT_EQ(last["ok"], 2) << "a label never fails its board: " << last.dump();
    EXPECT_EQ(station.Stop(), 0) << station.program().Err();

    const std::vector<json> records = Records(dir_.File("records.jsonl"));
    ASSERT_EQ(records.size(), 2u) << "each board's record is filed, labels in flight waited for";
    std::vector<std::string> texts;
    for (const json& r : records) {
      SCOPED_TRACE(r.dump());
      EXPECT_EQ(r["result"], "ok");
      ASSERT_TRUE(r.contains("label"));
      const json& label = r["label"];
      EXPECT_EQ(label["printer"], printer.Target());
      EXPECT_EQ(label["printed"], c.printed);
      EXPECT_EQ(label.contains("why"), !c.printed);
      if (!c.printed) {
        EXPECT_NE(label["why"].get<std::string>().find(c.why), std::string::npos);
      }
      const std::string text = label["text"];
      EXPECT_EQ(label["sha256"], production::Sha256Hex(text.data(), text.size()));
      // The board's own values, each in the field the template put it in.
      const std::string serial = r["fields"]["serial"];
      EXPECT_NE(text.find("^FDSN " + serial + "^FS"), std::string::npos) << text;
      EXPECT_NE(text.find("^FDQA," + serial + "^FS"), std::string::npos) << text;
      EXPECT_NE(text.find("^FDUnit " + r["unit"].get<std::string>() + "^FS"), std::string::npos)
          << text;
      texts.push_back(text);
    }
    EXPECT_NE(records[0]["unit"], records[1]["unit"]);
    if (c.printed) {
      // The printer got exactly the bytes each record keeps.
      std::vector<std::string> got = printer.Labels();
      std::sort(got.begin(), got.end());
      std::sort(texts.begin(), texts.end());
      EXPECT_EQ(got, texts);
    } else if (c.mode != Printer::Mode::kDrop) {
      // The terminal's line for each label not printed, with its reason.
      const std::string out = station.program().Out();
      for (const char* board :
           {": board 1: LABEL NOT PRINTED (", ": board 2: LABEL NOT PRINTED ("}) {
        const size_t at = out.find(port + board);
        ASSERT_NE(at, std::string::npos) << out;
        EXPECT_NE(out.substr(at, out.find('\n', at) - at).find(c.why), std::string::npos) << out;
      }
    }
  }
}

// Ctrl-C while a label waits for a silent printer: the label gives up at
// once and the board's record is filed with it not printed, so that a
// second Ctrl-C (or the operator's patience) loses no record.
TEST_F(Labels, CtrlCGivesUpALabelInFlightAndFilesItsRecord) {
  // With --auto, and with one board per port, whose run ends with its label.
  for (const bool auto_mode : {true, false}) {
    SCOPED_TRACE(auto_mode ? "--auto" : "one board");
    std::remove(dir_.File("records.jsonl").c_str());
    Printer stalled(Printer::Mode::kStall);
    SimProcess sim;
    BackgroundProgram flash;
    ASSERT_NO_FATAL_FAILURE(StartOnStalledLabel(stalled, auto_mode, &sim, &flash));
    std::this_thread::sleep_for(500ms);
    const auto cut = std::chrono::steady_clock::now();
    flash.Signal(SIGINT);
    flash.Wait(60s);
    EXPECT_LT(std::chrono::steady_clock::now() - cut, 20s) << "not the label's 120 s";
    const std::vector<json> records = Records(dir_.File("records.jsonl"));
    ASSERT_EQ(records.size(), 1u) << flash.Out() << flash.Err();
    EXPECT_EQ(records[0]["result"], "ok");
    EXPECT_EQ(records[0]["label"]["printed"], false);
    EXPECT_EQ(records[0]["label"]["why"], "the station stopped before the printer took the label");
  }
}

// Killed while a label waits for a silent printer (a power cut, kill -9):
// the OK board's record was held before the label went out, and the next
// run on the records file appends it, its label not known to have printed,
// and says so. With one board per port and with --auto. Its values count
// as given before anything is handed out: with the state file gone since,
// the next run finds them in the records file and refuses, as for any
// value there.
TEST_F(Labels, AKilledRunsRecordIsFiledByTheNextRun) {
  const struct {
    const char* what;
    bool auto_mode, state_removed;
  } cases[] = {
      {"one board", false, false},
      {"--auto", true, false},
      {"the state file removed after the kill", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(dir_.File("records.jsonl").c_str());
    std::remove(dir_.File("serial.state").c_str());
    Printer stalled(Printer::Mode::kStall);
    SimProcess sim;
    BackgroundProgram flash;
    ASSERT_NO_FATAL_FAILURE(StartOnStalledLabel(stalled, c.auto_mode, &sim, &flash));
    flash.Signal(SIGKILL);
    flash.Wait(30s);
    EXPECT_TRUE(Records(dir_.File("records.jsonl")).empty());
    if (c.state_removed) {
      ASSERT_EQ(std::remove(dir_.File("serial.state").c_str()), 0);
    }

    Printer taking(Printer::Mode::kTake);
    WriteWholeFile(dir_.File("next.toml"), Product(taking.Target(), 10000));
    SimProcess next;
    ASSERT_TRUE(next.Start({"--quiet", "--after-reboot", "hangup"}));
    const RunResult r = RunProgram(
        QUELMAR_CLI_PATH, {"flash", next.device(), "--profile", dir_.File("next.toml")}, {}, 120s);
    const std::vector<json> records = Records(dir_.File("records.jsonl"));
    ASSERT_EQ(records.size(), c.state_removed ? 1u : 2u) << r.out << r.err;
    EXPECT_EQ(records[0]["result"], "ok");
    EXPECT_EQ(records[0]["fields"]["serial"], "QM-000070");
    EXPECT_EQ(records[0]["label"]["printed"], false);
    EXPECT_EQ(records[0]["label"]["why"], production::kLabelNotKnown);
    EXPECT_EQ(records[0]["label"]["printer"], stalled.Target());
    if (c.state_removed) {
      EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
      EXPECT_NE(r.err.find("there is no state file"), std::string::npos) << r.err;
      continue;
    }
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("quelmar-cli: records: board 1 on \"" + sim.device() +
                         "\" was OK when its program ended while printing its label"),
              std::string::npos)
        << r.err;
    // The second board never gets the first one's values.
    EXPECT_EQ(records[1]["fields"]["serial"], "QM-000071");
    EXPECT_EQ(records[1]["label"]["printed"], true);
    // Nothing is left held for a third run to append again.
    size_t held = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.File("records.jsonl.held")))
      held += e.path().extension() == ".record";
    EXPECT_EQ(held, 0u);
  }
}

// The record is written once the label's outcome is known: one that
// cannot be written then (its folder removed meanwhile) fails the board
// after all, in the run's totals and its exit status, with one board per
// port and with --auto.
TEST_F(Labels, ARecordLostAfterItsLabelFailsTheBoard) {
  for (const bool auto_mode : {false, true}) {
    SCOPED_TRACE(auto_mode ? "--auto" : "one board");
    Printer stalled(Printer::Mode::kStall);
    const std::string folder = dir_.File("out");
    std::filesystem::create_directories(folder);
    std::string profile = Product(stalled.Target(), 3000);
    profile.replace(profile.find(dir_.File("records.jsonl")), dir_.File("records.jsonl").size(),
                    folder + "/records.jsonl");
    WriteWholeFile(dir_.File("lost.toml"), profile);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--quiet", "--after-reboot", "hangup"}));
    std::vector<std::string> args = {"flash", sim.device(), "--profile", dir_.File("lost.toml")};
    if (auto_mode) args.insert(args.end(), {"--auto", "--count", "1"});
    BackgroundProgram flash;
    ASSERT_TRUE(flash.Start(QUELMAR_CLI_PATH, args));
    // The board is written; its label waits for the printer: the records'
    // folder goes meanwhile.
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (Occurrences(flash.Out() + flash.Err(), "Reboot") == 0 &&
           std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(20ms);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(flash.Wait(60s), 1) << flash.Out() << flash.Err();
    const std::string said = flash.Out() + flash.Err();
    EXPECT_NE(said.find("LABEL NOT PRINTED: the printer at"), std::string::npos) << said;
    EXPECT_NE(said.find("cannot write the record: '" + folder + "/records.jsonl'"),
              std::string::npos)
        << said;
    if (auto_mode) {
      EXPECT_NE(said.find("Boards: 0 OK, 1 failed"), std::string::npos) << said;
    }
  }
}

TEST_F(Labels, AReprintSendsTheRecordedBytesAgain) {
  // Flashed while the printer was off: the record keeps the label.
  Printer off(Printer::Mode::kRefuse);
  WriteWholeFile(dir_.File("flash.toml"), Product(off.Target(), 2000));
  std::vector<std::string> serials;
  for (int board = 0; board < 2; ++board) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--quiet"}));
    const RunResult r = RunProgram(
        QUELMAR_CLI_PATH, {"flash", sim.device(), "--profile", dir_.File("flash.toml")}, {}, 120s);
    ASSERT_EQ(r.exit_code, 0) << "the board is OK, its label not printed: " << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("LABEL NOT PRINTED: cannot connect to the printer"),
              std::string::npos)
        << r.out << r.err;
  }
  const std::vector<json> records = Records(dir_.File("records.jsonl"));
  ASSERT_EQ(records.size(), 2u);
  for (const json& r : records) ASSERT_EQ(r["label"]["printed"], false) << r.dump();

  Printer on(Printer::Mode::kTake);
  const std::string file = dir_.File("records.jsonl");
  for (const json& r : records) {
    const std::string serial = r["fields"]["serial"];
    SCOPED_TRACE(serial);
    const RunResult sent = RunProgram(
        QUELMAR_CLI_PATH,
        {"label", "reprint", "--records", file, "--serial", serial, "--printer", on.Target()}, {},
        30s);
    EXPECT_EQ(sent.exit_code, 0) << sent.out << sent.err;
    EXPECT_NE(sent.out.find(r["label"]["sha256"].get<std::string>()), std::string::npos)
        << sent.out;
  }
  ASSERT_TRUE(on.WaitForLabels(2, 10s));
  EXPECT_EQ(on.Labels()[0], records[0]["label"]["text"].get<std::string>());
  EXPECT_EQ(on.Labels()[1], records[1]["label"]["text"].get<std::string>());

  // What cannot be reprinted is said in one line.
  const std::string serial = records[0]["fields"]["serial"];
  const struct {
    std::vector<std::string> args;
    int exit;
    std::string says;
  } refused[] = {
      {{"--records", file, "--serial", "QM-999999"}, 1, "no record matches"},
      {{"--records", file, "--unit", "PCB-0000"}, 1, "unit PCB-0000: no record matches"},
      // The record names the printer that was off: it still is.
      {{"--records", file, "--serial", serial}, 1, "was not printed: cannot connect"},
      {{"--records", file}, 2, "give one of --unit ID or --serial V"},
      {{"--serial", serial}, 2, "give one of --records FILE or --db CONNINFO"},
      {{"--records", file, "--serial", serial, "--printer", "lpt1"}, 1, "printer \"lpt1\""},
      {{"--records", dir_.File("none.jsonl"), "--serial", serial}, 1, "none.jsonl"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = {"label", "reprint"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, args, {}, 30s);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.exit == 2 ? 2 : 1) << r.err;
  }
  EXPECT_EQ(on.Labels().size(), 2u) << "nothing more was sent";

  // A record whose label was changed is not sent.
  json changed = records[1];
  changed["label"]["text"] = "^XA^FDforged^FS^XZ";
  WriteWholeFile(dir_.File("changed.jsonl"), changed.dump() + "\n");
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH,
                 {"label", "reprint", "--records", dir_.File("changed.jsonl"), "--serial",
                  changed["fields"]["serial"], "--printer", on.Target()},
                 {}, 30s);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("is not what was printed"), std::string::npos) << r.err;
  EXPECT_EQ(on.Labels().size(), 2u);

  // A record whose printer is a command: the command is not run from it.
  json command = records[1];
  const std::string planted = dir_.File("planted");
  command["label"]["printer"] = "command:touch " + planted;
  WriteWholeFile(dir_.File("command.jsonl"), command.dump() + "\n");
  const RunResult c = RunProgram(QUELMAR_CLI_PATH,
                                 {"label", "reprint", "--records", dir_.File("command.jsonl"),
                                  "--serial", command["fields"]["serial"]},
                                 {}, 30s);
  EXPECT_EQ(c.exit_code, 1);
  EXPECT_NE(c.err.find("a record's command is not run; give it with --printer"), std::string::npos)
      << c.err;
  EXPECT_FALSE(std::filesystem::exists(planted));
}

}  // namespace
}  // namespace quelmar::testing
