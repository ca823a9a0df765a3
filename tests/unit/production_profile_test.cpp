// Profiles: the documented form reads back as written; every mistake is
// refused naming the line and the key.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "production/durable_file.h"
#include "production/profile.h"
#include "production/sha256.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("quelmar_profile_"); }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Write(const std::string& text) {
    const std::string path = (dir_ / "line3.toml").string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  fs::path dir_;
};

constexpr char kDocumented[] = R"(ports = ["COM3", "COM4"]          # replaced by the command line's
code = "app.elf"
data = "calibration.fdata"
reboot = true
records = "records/line3.jsonl"

[[field]]
name = "serial"
at = 0x1A07FF00
format = "u32le"
start = 100000
state = "serial.state"

[[field]]
name = "mac"
at = "data:0x10"
format = "mac"
start = "02:51:4D:00:00:00"
end = "02:51:4D:00:FF:FF"
state = "mac.state"

[[field]]
name = "label"
at = 0x1B07FF00
format = "text"
size = 16
list = "labels.txt"
state = "labels.state"
)";

TEST_F(ProfileTest, TheDocumentedFormReadsBack) {
  const std::string path = Write(kDocumented);
  Profile p;
  std::string why;
  ASSERT_TRUE(LoadProfile(path, &p, &why)) << why;
  EXPECT_EQ(p.ports, (std::vector<std::string>{"COM3", "COM4"}));
  EXPECT_EQ(p.code, (dir_ / "app.elf").string());
  EXPECT_EQ(p.data, (dir_ / "calibration.fdata").string());
  EXPECT_EQ(p.records, (dir_ / "records/line3.jsonl").lexically_normal().string());
  EXPECT_EQ(p.reboot, true);
  EXPECT_FALSE(p.auto_mode.has_value());
  EXPECT_EQ(p.sha256, Sha256Hex(kDocumented, sizeof kDocumented - 1));
  ASSERT_EQ(p.fields.size(), 3u);
  const FieldDef& serial = p.fields[0];
  EXPECT_EQ(serial.where.place, Place::kBankA);
  EXPECT_EQ(serial.where.offset, 0x7FF00u);
  EXPECT_EQ(serial.format, Format::kU32Le);
  EXPECT_EQ(serial.size, 4u);
  EXPECT_EQ(serial.start, 100000u);
  EXPECT_EQ(serial.state_path, (dir_ / "serial.state").string());
  const FieldDef& mac = p.fields[1];
  EXPECT_EQ(mac.where.place, Place::kData);
  EXPECT_EQ(mac.where.offset, 0x10u);
  EXPECT_EQ(mac.start, 0x02514D000000u);
  EXPECT_EQ(mac.end, 0x02514D00FFFFu);
  const FieldDef& label = p.fields[2];
  EXPECT_EQ(label.where.place, Place::kBankB);
  EXPECT_EQ(label.format, Format::kText);
  EXPECT_EQ(label.size, 16u);
  EXPECT_EQ(label.list_path, (dir_ / "labels.txt").string());
}

const std::string kHex64(64, 'a');

TEST_F(ProfileTest, MistakesNameTheLineAndTheKey) {
  const struct {
    std::string text;
    const char* why;  // after "<path> "
  } cases[] = {
      {"code = \"a.elf\"\nport = [\"COM3\"]\n", "line 2: 'port': unknown key"},
      {"ports = \"COM3\"\n", "line 1: 'ports': should be a list of port names"},
      {"reboot = \"yes\"\n", "line 1: 'reboot': should be true or false"},
      {"count = -1\n", "line 1: 'count': should be a number of 0 or more"},
      {"retries = 11\n", "line 1: 'retries': should be 0 to 10"},
      {"retries = -1\n", "line 1: 'retries': should be a number of 0 or more"},
      {"retries = \"2\"\n", "line 1: 'retries': "},
      {"[[field]]\nname = \"sn\"\nat = 0x1A07FF00\nstate = \"s\"\ncolour = 1\n",
       "line 5: 'field[1].colour': unknown key"},
      {"[[field]]\nname = \"sn\"\nat = 0x1C000000\nstate = \"s\"\n",
       "line 3: 'sn.at': 0x1C000000 is in neither bank A (0x1A000000-0x1A07FFFF) nor bank B "
       "(0x1B000000-0x1B07FFFF)"},
      {"[[field]]\nname = \"sn\"\nat = \"data:x\"\nstate = \"s\"\n",
       "line 3: 'sn.at': 'data:x' is no data:OFFSET"},
      {"[[field]]\nname = \"sn\"\nat = 0x1A07FF00\nformat = \"u16\"\nstate = \"s\"\n",
       "line 4: 'sn.format': unknown format 'u16' (u32le, u32be, u64le, mac, text, text:PATTERN)"},
      {"[[field]]\nname = \"m\"\nat = \"data:0\"\nformat = \"mac\"\nstart = \"02:51\"\nstate = "
       "\"s\"\n",
       "line 5: 'm.start': \"02:51\" is no MAC address"},
      {"[[field]]\nname = \"sn\"\nat = 0x1A07FF00\n", "line 1: 'sn.state': missing"},
      {"[[field]]\nname = \"l\"\nat = 0x1A07FF00\nlist = \"l.txt\"\nstart = 3\nstate = \"s\"\n",
       "line 5: 'l.start': a list field has no counter"},
      {"[[field]]\nname = \"t\"\nat = 0x1A07FF00\nformat = \"text\"\nlist = \"l.txt\"\nstate = "
       "\"s\"\n",
       "line 1: 't.size': format \"text\" needs a size"},
      {"code = \"a.elf\"\ncode = \"b.elf\"\n", "line 2: "},
      {"reboot = tru\n", "line 1: "},
      {"ports = [\"COM3\"]\nlisten = 8080\n", "line 2: 'listen': "},
      {"name = [\"Line 3\"]\n", "line 1: 'name': "},
      {"hostnames = \"line3.lan\"\n", "line 1: 'hostnames': should be a list of names"},
      {"hostnames = [\"line3.lan\",\n  \"http://line3.lan\"]\n",
       "line 2: 'hostnames': \"http://line3.lan\" is no host name or address: give it without "
       "http:// and port"},
      {"hostnames = [\"line3.lan:8080\"]\n", "line 1: 'hostnames': \"line3.lan:8080\" is no"},
      {"hostnames = [\"10.0.3.7:8080\"]\n", "line 1: 'hostnames': \"10.0.3.7:8080\" is no"},
      {"hostnames = [\"[fd00::7]:8080\"]\n", "line 1: 'hostnames': \"[fd00::7]:8080\" is no"},
      {"hostnames = [\"line 3\"]\n", "line 1: 'hostnames': \"line 3\" is no"},
      {"hostnames = [\"\"]\n", "line 1: 'hostnames': \"\" is no"},
      {"hostnames = [3]\n", "line 1: 'hostnames': should be text in quotes"},
      {"code = \"a.elf\"\ncode_sha256 = \"" + kHex64.substr(1) + "g\"\n",
       "line 2: 'code_sha256': should be a SHA-256: 64 hexadecimal digits"},
      {"code = \"a.elf\"\ndata_sha256 = \"" + kHex64 + "\"\n",
       "line 2: 'data_sha256': pins the data file, but the profile gives no 'data'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = Write(c.text);
    Profile p;
    std::string why;
    EXPECT_FALSE(LoadProfile(path, &p, &why));
    EXPECT_EQ(why.substr(0, path.size() + 1 + std::strlen(c.why)), path + " " + c.why) << why;
  }
  Profile p;
  std::string why;
  EXPECT_FALSE(LoadProfile((dir_ / "missing.toml").string(), &p, &why));
  EXPECT_NE(why.find("missing.toml"), std::string::npos);
}

TEST_F(ProfileTest, TheStationsKeysReadBack) {
  const std::string path = Write(
      "name = \"Line 3 <west>\"\nports = [\"COM*\"]\nreboot = true\n"
      "listen = \"0.0.0.0:8081\"\ntoken = \"s3cret\"\n"
      "hostnames = [\"line3.factory.example\", \"Line3-PC\", \"10.0.3.7\", \"[fd00::7]\", "
      "\"fd00::8\"]\n");
  Profile p;
  std::string why;
  ASSERT_TRUE(LoadProfile(path, &p, &why)) << why;
  EXPECT_EQ(p.name, "Line 3 <west>");
  EXPECT_EQ(p.listen, "0.0.0.0:8081");
  EXPECT_EQ(p.token, "s3cret");
  EXPECT_EQ(p.hostnames, (std::vector<std::string>{"line3.factory.example", "Line3-PC", "10.0.3.7",
                                                   "[fd00::7]", "fd00::8"}));
  EXPECT_EQ(p.ports, std::vector<std::string>{"COM*"});
  EXPECT_EQ(StationKeys(p),
            (std::vector<std::string>{"ports", "listen", "token", "hostnames", "name"}));
}

// A profile of a line's station: its [line] table and fields that take
// pools read back; a station's name defaults to the host's.
TEST_F(ProfileTest, TheLinesTableReadsBack) {
  const std::string path = Write(
      "code = \"app.fcode\"\n\n[line]\ndatabase = \"postgresql://station@db-host/line3\"\n\n"
      "[[field]]\nname = \"serial\"\nat = 0x1A07FF00\npool = \"serial\"\n\n"
      "[[field]]\nname = \"label\"\nat = \"data:0x20\"\nformat = \"text\"\nsize = 16\n"
      "pool = \"labels\"\n");
  Profile p;
  std::string why;
  ASSERT_TRUE(LoadProfile(path, &p, &why)) << why;
  ASSERT_TRUE(p.line.has_value());
  EXPECT_EQ(p.line->database, "postgresql://station@db-host/line3");
  EXPECT_EQ(p.line->station, HostName());
  ASSERT_EQ(p.fields.size(), 2u);
  EXPECT_EQ(p.fields[0].pool, "serial");
  EXPECT_EQ(p.fields[0].state_path, "");
  EXPECT_EQ(p.fields[1].pool, "labels");
  EXPECT_EQ(p.fields[1].size, 16u);
  EXPECT_EQ(StationKeys(p), std::vector<std::string>{}) << "the station's name is the host's";
  Write("[line]\ndatabase = \"host=db\"\nstation = \"Line 3 / st1\"\njob = \"widget@3\"\n");
  ASSERT_TRUE(LoadProfile(path, &p, &why)) << why;
  EXPECT_EQ(p.line->station, "Line 3 / st1");
  EXPECT_EQ(p.line->job, "widget@3");
  EXPECT_EQ(StationKeys(p), (std::vector<std::string>{"line.station", "line.job"}));
}

// A profile's text in memory: its paths as they stand, its pins in lower
// case, its hash the text's.
TEST_F(ProfileTest, AProfilesTextReadsBackWithItsPins) {
  const std::string text =
      "data = \"../cal.fdata\"\ndata_sha256 = \"" + std::string(64, 'A') + "\"\n";
  Profile p;
  std::string why;
  ASSERT_TRUE(LoadProfileText(text, "widget@2", &p, &why)) << why;
  EXPECT_EQ(p.path, "widget@2");
  EXPECT_EQ(p.data, "../cal.fdata");
  EXPECT_EQ(p.data_sha256, kHex64);
  EXPECT_EQ(p.sha256, Sha256Hex(text.data(), text.size()));
}

TEST(JobNameTest, NameAndVersion) {
  JobName job;
  std::string why;
  ASSERT_TRUE(ParseJobName("Wid_get-2.0@2147483647", &job, &why)) << why;
  EXPECT_EQ(job.name, "Wid_get-2.0");
  EXPECT_EQ(job.version, 2147483647);
  for (const std::string bad : {"", "@3", "wid get", "w\xC3\xA4rme", "w@", "w@0", "w@01", "w@-1",
                                "w@2147483648", "w@99999999999999999999", "w@1@2"}) {
    EXPECT_FALSE(ParseJobName(bad, &job, &why)) << bad;
    EXPECT_EQ(why.rfind("\"" + bad + "\" is no job name: its ", 0), 0u) << why;
  }
  EXPECT_TRUE(ParseJobName(std::string(64, 'w'), &job, &why)) << why;
  EXPECT_FALSE(ParseJobName(std::string(65, 'w'), &job, &why));
}

TEST_F(ProfileTest, LineMistakesNameTheLineAndTheKey) {
  const std::string job = "[line]\ndatabase = \"host=db\"\njob = \"widget\"\n";
  const std::string takes =
      "a profile with [line] job = \"widget\" takes its images, fields and "
      "reboot from the job; remove ";
  const struct {
    std::string text;
    std::string why;  // after "<path> "
  } cases[] = {
      {"[line]\nstation = \"st1\"\n", "line 1: 'line.database': missing"},
      {"[line]\ndatabase = \"host=db\"\nuser = \"x\"\n", "line 3: 'line.user': unknown key"},
      {"line = 3\n", "line 1: 'line': should be a [line] table"},
      {"[line]\ndatabase = \"\"\n", "line 2: 'line.database': is empty"},
      {"[line]\ndatabase = 5\n", "line 2: 'line.database': "},
      {"[line]\ndatabase = \"host=db\"\nstation = \"\"\n",
       "line 3: 'line.station': should be a name"},
      {"[line]\ndatabase = \"host=db\"\nstation = \"st\\n1\"\n",
       "line 3: 'line.station': should be a name"},
      {"[line]\ndatabase = \"host=db\"\n[[field]]\nname = \"sn\"\nat = 0x1A07FF00\n"
       "pool = \"serial\"\nstate = \"s\"\n",
       "line 7: 'sn.state': a field with a pool takes its values from the line's database"},
      {"[line]\ndatabase = \"host=db\"\n[[field]]\nname = \"sn\"\nat = 0x1A07FF00\n"
       "pool = \"serial\"\nstart = 5\n",
       "line 7: 'sn.start': a field with a pool takes its values from the line's database"},
      {"[line]\ndatabase = \"host=db\"\n[[field]]\nname = \"l\"\nat = 0x1A07FF00\n"
       "format = \"text\"\nsize = 8\npool = \"labels\"\nlist = \"l.txt\"\n",
       "line 9: 'l.list': a field with a pool takes its values from the line's database"},
      {"[line]\ndatabase = \"host=db\"\n[[field]]\nname = \"t\"\nat = 0x1A07FF00\n"
       "format = \"text\"\npool = \"labels\"\n",
       "line 3: 't.size': a text field with a pool needs a size"},
      {"[line]\ndatabase = \"host=db\"\n[[field]]\nname = \"sn\"\nat = 0x1A07FF00\n"
       "state = \"s\"\n",
       "line 3: 'sn.pool': missing: a profile with [line] takes every value from a pool"},
      {"[[field]]\nname = \"sn\"\nat = 0x1A07FF00\npool = \"serial\"\n",
       "line 4: 'sn.pool': no [line] table names the database the pool is in"},
      {"[line]\ndatabase = \"host=db\"\n[[field]]\nname = \"sn\"\nat = 0x1A07FF00\npool = \"\"\n",
       "line 6: 'sn.pool': is empty"},
      {"[line]\ndatabase = \"host=db\"\njob = \"w@0\"\n",
       "line 3: 'line.job': \"w@0\" is no job name: its version should be"},
      {"data = \"d.fdata\"\ncode = \"a.elf\"\n" + job, "line 1: 'data': " + takes + "'data'"},
      {"reboot = false\n" + job, "line 1: 'reboot': " + takes + "'reboot'"},
      {"retries = 2\n" + job, "line 1: 'retries': " + takes + "'retries'"},
      {"code_sha256 = \"" + kHex64 + "\"\n" + job, "line 1: 'code_sha256': " + takes},
      {job + "[[field]]\nname = \"sn\"\nat = 0x1A07FF00\npool = \"serial\"\n",
       "line 4: 'field': " + takes + "the [[field]] tables"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = Write(c.text);
    Profile p;
    std::string why;
    EXPECT_FALSE(LoadProfile(path, &p, &why));
    EXPECT_EQ(why.substr(0, path.size() + 1 + c.why.size()), path + " " + c.why) << why;
  }
}

TEST_F(ProfileTest, ScanKeysReadBackAndMistakesAreNamed) {
  Profile p;
  std::string why;
  ASSERT_TRUE(
      LoadProfile(Write("ports = [\"COM3\"]\nreboot = true\nscan = \"required\"\n"
                        "scan_pattern = \"PCB-\\\\d{4}\"\nslot_pattern = \"SLOT-(\\\\d+)\"\n"
                        "scanner = \"COM5\"\nscanner_baud = 19200\n"),
                  &p, &why))
      << why;
  EXPECT_EQ(p.scan, "required");
  EXPECT_EQ(p.scan_pattern, "PCB-\\d{4}");
  EXPECT_EQ(p.scanner_baud, 19200u);
  const std::vector<std::string> keys = StationKeys(p);
  for (const char* key : {"scanner", "scanner_baud", "slot_pattern"})
    EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key;
  EXPECT_EQ(std::find(keys.begin(), keys.end(), "scan"), keys.end());

  const struct {
    std::string text;
    const char* why;  // after "<path> "
  } cases[] = {
      {"scan = \"always\"\n", "line 1: 'scan': should be \"off\", \"optional\" or \"required\""},
      {"scan = true\n", "line 1: 'scan': should be text in quotes"},
      {"scan_pattern = \"PCB-(\\\\d\"\n", "line 1: 'scan_pattern': is no regular expression"},
      {"slot_pattern = \"SLOT-\\\\d+\"\n", "line 1: 'slot_pattern': needs a group"},
      {"scanner_baud = 12\n", "line 1: 'scanner_baud': should be a baud rate from 300"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = Write(c.text);
    EXPECT_FALSE(LoadProfile(path, &p, &why));
    EXPECT_EQ(why.substr(0, path.size() + 1 + std::strlen(c.why)), path + " " + c.why) << why;
  }
  // A job's product keys are the job's: a station running one may not set them.
  const std::string path =
      Write("scan = \"optional\"\n[line]\ndatabase = \"host=db\"\njob = \"widget\"\n");
  EXPECT_FALSE(LoadProfile(path, &p, &why));
  EXPECT_NE(why.find("line 1: 'scan': a profile with [line] job"), std::string::npos) << why;
}

}  // namespace
}  // namespace quelmar::production
