// Labels from outside: a template as an engineer writes it, values as a
// hostile list file would hold them, printers that take, refuse or stall.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "production/label.h"
#include "production/profile.h"
#include "production/record.h"
#include "production/records_view.h"
#include "production/sha256.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

using namespace std::chrono_literals;

// A loopback listener standing in for a raw printer.
class Printer {
 public:
  Printer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~Printer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  // Accepts one connection and reads it to its end, then closes.
  void Take() {
    thread_ = std::thread([this] {
      const int c = ::accept(fd_, nullptr, nullptr);
      char buffer[4096];
      ssize_t n = 0;
      while ((n = ::read(c, buffer, sizeof buffer)) > 0) got_.append(buffer, n);
      ::close(c);
    });
  }
  const std::string& Got() {
    if (thread_.joinable()) thread_.join();
    return got_;
  }
  PrinterTarget Target() const {
    PrinterTarget t;
    std::string why;
    EXPECT_TRUE(ParsePrinter("tcp://127.0.0.1:" + std::to_string(port_), &t, &why)) << why;
    return t;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::string got_;
};

const char kTemplate[] =
    "^XA\n^FO20,20^A0N,30,30^FDSN {serial}^FS\n^FO20,60^FDUnit {unit} MAC {mac}^FS\n"
    "^FO20,100^BQN,2,5^FDQA,{serial}^FS\n^XZ\n";

LabelTemplate Parsed(const std::string& text) {
  LabelTemplate t;
  std::string why;
  EXPECT_TRUE(t.Parse(text, {"serial", "mac"}, &why)) << why;
  return t;
}

TEST(Label, EveryFieldWithAValueIsEscapedAndNoValueStartsACommand) {
  const LabelTemplate t = Parsed(kTemplate);
  struct Case {
    std::string value, shown;
  } cases[] = {
      {"QM-0001", "QM-0001"},
      {"1^XZ^XA^FDevil", "1\\5EXZ\\5EXA\\5EFDevil"},
      {"a~JA", "a\\7EJA"},
      {std::string("01\x1D"
                   "02"),
       "01\\1D02"},
      {"back\\slash", "back\\5Cslash"},
      {"line\nbreak\x7F\xC3\xA9", "line\\0Abreak\\7F\\C3\\A9"},
  };
  for (const Case& c : cases) {
    const std::string zpl = t.Render({{"serial", c.value}, {"unit", "U1"}, {"mac", "02:00"}});
    EXPECT_NE(zpl.find("^FH\\^FDSN " + c.shown + "^FS"), std::string::npos) << zpl;
    EXPECT_NE(zpl.find("^FH\\^FDQA," + c.shown + "^FS"), std::string::npos) << zpl;
    // Exactly the template's own commands: no value added one.
    size_t carets = 0;
    for (char ch : zpl) carets += ch == '^' || ch == '~';
    EXPECT_EQ(carets, 16u) << zpl;
  }
}

TEST(Label, TemplatesThatCannotBeFilledSafelyAreRefusedInOneLine) {
  struct Case {
    std::string text, says;
  } cases[] = {
      {"^XA^FD{serail}^FS^XZ", "{serail} is no field"},
      {"^XA^FO{serial},20^FDx^FS^XZ", "stands outside a field's data"},
      {"^XA\n^FDx {serial^FS", "line 2: a '{' opens no {name}"},
      {"^XA^FDa}b^FS", "a '}' closes no {name}"},
      // A new prefix would let a value's own bytes start a command.
      {"^XA^CC+\n+FD{serial}+FS^XZ", "line 1: ^CC changes a command prefix"},
      {"^XA~ct!^FD{serial}^FS^XZ", "~ct changes a command prefix"},
  };
  for (const Case& c : cases) {
    LabelTemplate t;
    std::string why;
    EXPECT_FALSE(t.Parse(c.text, {"serial"}, &why)) << c.text;
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  }
  LabelTemplate braces;
  std::string why;
  ASSERT_TRUE(braces.Parse("^FD{{{job}}}^FS", {}, &why)) << why;
  EXPECT_EQ(braces.Render({{"job", "w@2"}}), "^FH\\^FD{w@2}^FS");
}

TEST(Label, PrinterTargetsAreReadOrRefused) {
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {{"tcp://zebra.local:9100", true},
               {"tcp://[::1]:9100", true},
               {"tcp://zebra", false},
               {"tcp://zebra:0", false},
               {"tcp://zebra:70000", false},
               {"command:lp -d zebra -o raw", true},
               {"command:", false},
               {"command:\"a b", false},
               {"file:labels/", true},
               {"file:", false},
               {"lpt1", false}};
  for (const Case& c : cases) {
    PrinterTarget t;
    std::string why;
    EXPECT_EQ(ParsePrinter(c.text, &t, &why), c.ok) << c.text << ": " << why;
  }
  PrinterTarget t;
  std::string why;
  ASSERT_TRUE(ParsePrinter("command:lp -d \"my zebra\" -o raw", &t, &why));
  EXPECT_EQ(t.argv, (std::vector<std::string>{"lp", "-d", "my zebra", "-o", "raw"}));
}

TEST(Label, ARawPrinterGetsTheBytesExactly) {
  Printer printer;
  printer.Take();
  const std::string zpl = Parsed(kTemplate).Render({{"serial", "QM-42"}, {"unit", "U-7"}});
  std::string why;
  ASSERT_TRUE(SendLabel(printer.Target(), zpl, "b", 5s, &why)) << why;
  EXPECT_EQ(printer.Got(), zpl);
  EXPECT_NE(printer.Got().find("^FDSN QM-42^FS"), std::string::npos);
  EXPECT_NE(printer.Got().find("Unit U-7"), std::string::npos);
}

TEST(Label, APrinterThatRefusesOrNeverReadsIsNotPrinted) {
  std::string why;
  {
    // Nothing listens on a port just closed.
    uint16_t port = 0;
    {
      Printer gone;
      port = gone.port();
    }
    PrinterTarget t;
    ASSERT_TRUE(ParsePrinter("tcp://127.0.0.1:" + std::to_string(port), &t, &why));
    EXPECT_FALSE(SendLabel(t, "^XA^XZ", "b", 2s, &why));
    EXPECT_NE(why.find("cannot connect to the printer"), std::string::npos) << why;
  }
  {
    // Accepted by the kernel's backlog, never read, never closed.
    Printer stalled;
    EXPECT_FALSE(SendLabel(stalled.Target(), "^XA^XZ", "b", 300ms, &why));
    EXPECT_NE(why.find("did not take the label"), std::string::npos) << why;
  }
}

TEST(Label, ACommandTakesTheBytesOnItsStdinAndItsStatusCounts) {
  const auto dir = testing::MakeTempDir("label-cmd");
  const std::string out = (dir / "got.zpl").string();
  std::string why;
  int status = -1;
  ASSERT_TRUE(RunWithInput({"sh", "-c", "cat > '" + out + "'"}, "^XA^FDx^FS^XZ", 5s, &status, &why))
      << why;
  EXPECT_EQ(status, 0);
  std::ifstream in(out);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), "^XA^FDx^FS^XZ");
  PrinterTarget failing;
  ASSERT_TRUE(ParsePrinter("command:sh -c \"exit 3\"", &failing, &why));
  EXPECT_FALSE(SendLabel(failing, "^XA^XZ", "b", 5s, &why));
  EXPECT_NE(why.find("exit status 3"), std::string::npos) << why;
  PrinterTarget stuck;
  ASSERT_TRUE(ParsePrinter("command:sleep 30", &stuck, &why));
  EXPECT_FALSE(SendLabel(stuck, "^XA^XZ", "b", 200ms, &why));
  EXPECT_NE(why.find("killed"), std::string::npos) << why;
  // What the program started goes with it (a wrapper script's lp).
  const std::string pid_file = (dir / "child.pid").string();
  PrinterTarget wrapper;
  ASSERT_TRUE(ParsePrinter("command:sh -c \"sleep 30 & echo $! > '" + pid_file + "'; wait\"",
                           &wrapper, &why));
  EXPECT_FALSE(SendLabel(wrapper, "^XA^XZ", "b", 500ms, &why));
  std::ifstream pid_in(pid_file);
  pid_t child = 0;
  ASSERT_TRUE(pid_in >> child);
  bool gone = false;
  for (int k = 0; k < 100 && !gone; ++k) {
    gone = ::kill(child, 0) != 0;
    if (!gone) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(gone) << "the program's own child " << child << " still runs";
  if (!gone) ::kill(child, SIGKILL);
  // A descriptor opened without close-on-exec (as the page server's
  // listening socket is) never reaches the program: one that outlives a
  // killed station would keep the station's port from its next start.
  const int leaked = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(leaked, 0);
  ASSERT_TRUE(
      RunWithInput({"sh", "-c", "cat > /dev/null; test ! -e /proc/$$/fd/" + std::to_string(leaked)},
                   "^XA^XZ", 5s, &status, &why))
      << why;
  EXPECT_EQ(status, 0) << "the program got descriptor " << leaked;
  ::close(leaked);
  PrinterTarget missing;
  ASSERT_TRUE(ParsePrinter("command:no-such-program-here", &missing, &why));
  EXPECT_FALSE(SendLabel(missing, "^XA^XZ", "b", 5s, &why));
  EXPECT_NE(why.find("cannot run"), std::string::npos) << why;
}

TEST(Label, AFolderGetsOneWholeFilePerBoardAndNoneIsWrittenOver) {
  const auto dir = testing::MakeTempDir("label-file");
  PrinterTarget t;
  std::string why;
  ASSERT_TRUE(ParsePrinter("file:" + (dir / "labels").string(), &t, &why));
  ASSERT_TRUE(SendLabel(t, "first", "board-1", 1s, &why)) << why;
  EXPECT_FALSE(SendLabel(t, "second", "board-1", 1s, &why));
  EXPECT_NE(why.find("not written over"), std::string::npos) << why;
  std::ifstream in(dir / "labels" / "board-1.zpl");
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), "first");
  size_t files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir / "labels")) ++files;
  EXPECT_EQ(files, 1u);
}

TEST(Label, TheLabelTableOfAProfile) {
  struct Case {
    std::string toml, says;  // says: "" when it loads
  } cases[] = {
      {"[label]\ntemplate = \"l.zpl\"\nprinter = \"tcp://zebra:9100\"\n", ""},
      {"[label]\ntemplate = \"l.zpl\"\nprinter = \"tcp://zebra\"\n", "line 3: 'label.printer'"},
      {"[label]\ncopies = 2\n", "line 2: 'label.copies': unknown key"},
      {"label = \"l.zpl\"\n", "'label': should be a [label] table"},
      {"[line]\ndatabase = \"host=db\"\njob = \"w@1\"\n[label]\ntemplate = \"l.zpl\"\n",
       "line 5: 'label.template': a profile with [line] job = \"w@1\" prints the job's label"},
      // A job's station names its printer: the template comes with the job.
      {"[line]\ndatabase = \"host=db\"\njob = \"w@1\"\n[label]\nprinter = \"file:l\"\n", ""},
      {"[label]\nprinter = \"file:l\"\ntimeout_ms = 2500\n", ""},
      {"[label]\ntimeout_ms = 99\n", "line 2: 'label.timeout_ms': should be 100 to 600000"},
      {"[label]\ntimeout_ms = 600001\n", "should be 100 to 600000"},
      {"[label]\ntimeout_ms = \"5s\"\n", "line 2: 'label.timeout_ms'"},
  };
  for (const Case& c : cases) {
    Profile p;
    std::string why;
    EXPECT_EQ(LoadProfileText(c.toml, "p.toml", &p, &why), c.says.empty()) << c.toml << why;
    if (!c.says.empty()) {
      EXPECT_NE(why.find(c.says), std::string::npos) << why;
    }
  }
  Profile p;
  std::string why;
  ASSERT_TRUE(
      LoadProfileText("[label]\ntemplate = \"l.zpl\"\nprinter = \"file:out\"\ntimeout_ms = 900\n",
                      "p.toml", &p, &why))
      << why;
  EXPECT_EQ(p.label_timeout_ms, 900u);
  // A job released from this profile keeps its template and leaves the
  // printer and its bound to the station.
  const auto keys = StationKeys(p);
  EXPECT_EQ(keys, (std::vector<std::string>{"label.printer", "label.timeout_ms"}));
}

TEST(Label, ATemplateARecordCannotKeepByteForByteIsRefused) {
  struct Case {
    std::string text;
    bool ok;
    std::string says;
  } cases[] = {
      {"^XA^FDCaf\xC3\xA9 {serial}^FS^XZ", true, ""},                                 // UTF-8 text
      {"^XA^FD\xF0\x9F\x93\xA6^FS^XZ", true, ""},                                     // four bytes
      {"^XA\n^FDCaf\xE9^FS^XZ", false, "line 2: a NUL or a byte that is not UTF-8"},  // Latin-1
      {std::string("^XA^FDa\0b^FS^XZ", 13), false, "line 1: a NUL"},
      {"^XA^FD\xC3^FS", false, "not UTF-8"},              // cut short
      {"^XA^FD\xC0\xAF^FS", false, "not UTF-8"},          // overlong '/'
      {"^XA^FD\xED\xA0\x80^FS", false, "not UTF-8"},      // a surrogate
      {"^XA^FD\xF4\x90\x80\x80^FS", false, "not UTF-8"},  // past U+10FFFF
      {"^XA^FD\xC3\xA9", true, ""},                       // ends on a whole character
  };
  for (const Case& c : cases) {
    LabelTemplate t;
    std::string why;
    EXPECT_EQ(t.Parse(c.text, {"serial"}, &why), c.ok) << c.text << ": " << why;
    if (!c.ok) {
      EXPECT_NE(why.find(c.says), std::string::npos) << why;
    }
  }
}

// Records as `label reprint` reads them back: the newest OK board's label,
// or one line saying why there is none to send.
TEST(Label, TheNewestOkRecordsLabelIsTheOneReprinted) {
  const auto record = [](const std::string& result, const std::string& end, int board,
                         std::optional<std::string> text, bool printed = false) {
    BoardRecord r;
    r.result = result;
    r.port = "COM3";
    r.board = static_cast<unsigned>(board);
    r.time_start = std::chrono::system_clock::time_point{};
    r.time_end = std::chrono::system_clock::time_point{} + std::chrono::seconds(std::stoi(end));
    if (text)
      r.label = LabelRecord{"tcp://zebra:9100", *text, Sha256Hex(text->data(), text->size()),
                            printed, printed ? "" : "connection refused"};
    return RecordJson(r);
  };
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    std::string text;  // the label chosen, or "" when none
    std::string says;
  } cases[] = {
      {"nothing matched", {}, "", "no record matches"},
      {"failed boards only", {record("failed", "5", 1, std::nullopt)}, "", "no OK board matches"},
      {"the newest OK one, not the last line",
       {record("ok", "20", 2, "^XA^FDnew^FS^XZ"), record("ok", "10", 1, "^XA^FDold^FS^XZ"),
        record("failed", "30", 3, std::nullopt)},
       "^XA^FDnew^FS^XZ",
       ""},
      {"a tie goes to the later line",
       {record("ok", "10", 1, "^XA^FDfirst^FS^XZ"),
        record("ok", "10", 2, "^XA^FDsecond^FS^XZ", true)},
       "^XA^FDsecond^FS^XZ",
       ""},
      {"the newest OK one has no label",
       {record("ok", "10", 1, "^XA^FDold^FS^XZ"), record("ok", "20", 2, std::nullopt)},
       "",
       "board 2 on COM3 at 1970-01-01T00:00:20.000Z) has no label"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text;
    for (const std::string& line : c.lines) text += line + "\n";
    RecordsRead read;
    ReadRecordsText(text, &read);
    ASSERT_EQ(read.records.size(), c.lines.size());
    LabelRecord label;
    std::string board, why;
    EXPECT_EQ(NewestLabel(read.records, &label, &board, &why), !c.text.empty()) << why;
    if (c.text.empty()) {
      EXPECT_NE(why.find(c.says), std::string::npos) << why;
    } else {
      EXPECT_EQ(label.text, c.text);
      EXPECT_EQ(label.printer, "tcp://zebra:9100");
    }
  }
  // A label whose text was changed after it was sent is not sent again.
  RecordsRead read;
  std::string line = record("ok", "10", 1, "^XA^FDreal^FS^XZ");
  line.replace(line.find("real"), 4, "fake");
  ReadRecordsText(line + "\n", &read);
  LabelRecord label;
  std::string board, why;
  EXPECT_FALSE(NewestLabel(read.records, &label, &board, &why));
  EXPECT_NE(why.find("is not what was printed"), std::string::npos) << why;
}

TEST(Label, ARecordKeepsTheLabelBytesAndWhyOnlyWhenNotPrinted) {
  for (const bool printed : {true, false}) {
    BoardRecord r;
    r.result = "ok";
    r.label = LabelRecord{"tcp://zebra:9100", "^XA^FH\\^FDQM\\5E1^FS^XZ\n", "ab", printed,
                          printed ? "" : "connection refused"};
    RecordsRead read;
    ReadRecordsText(RecordJson(r) + "\n", &read);
    ASSERT_EQ(read.records.size(), 1u) << RecordJson(r);
    const auto& label = read.records[0]["label"];
    EXPECT_EQ(label["text"], r.label->text);
    EXPECT_EQ(label["printer"], "tcp://zebra:9100");
    EXPECT_EQ(label["printed"], printed);
    EXPECT_EQ(label.contains("why"), !printed);
  }
}

}  // namespace
}  // namespace quelmar::production
