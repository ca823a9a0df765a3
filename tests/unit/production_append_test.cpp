// The records file as other processes and the operator treat it while a
// run has it open: a writer that dies mid-append, a full disk, a file
// rotated, moved or deleted, a writer that hangs holding the lock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "production/durable_file.h"
#include "production/record.h"
#include "production/records_view.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

BoardRecord Board(unsigned number) {
  BoardRecord r;
  r.port = "COM3";
  r.board = number;
  r.result = "ok";
  r.fields = {{"serial", {true, 100000 + number, ""}}};
  r.log = "Opened COM3\nWrite CODE... OK.\n";
  return r;
}

std::string Line(unsigned number) {
  return RecordJson(Board(number)) + "\n";
}

// The boards whose records a reader shows, in file order.
std::vector<unsigned> BoardsIn(const fs::path& path, std::vector<std::string>* warnings = nullptr) {
  RecordsRead read;
  std::string why;
  EXPECT_TRUE(ReadRecords(path.string(), &read, &why)) << why;
  std::vector<unsigned> boards;
  for (const auto& record : read.records) boards.push_back(record["board"].get<unsigned>());
  if (warnings != nullptr) *warnings = read.warnings;
  return boards;
}

class AppendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_append_");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

// Two stations append to one records file, both with it open all along;
// one dies in the middle of a record. The other's next record must still be
// read back whole, whichever kind of death left the torn bytes.
TEST_F(AppendTest, ARecordIsNeverGluedToAnotherWritersTornLine) {
  const struct {
    const char* name;
    std::string torn;             // what the dying writer left at the end
    std::vector<unsigned> shown;  // the boards a reader then shows
    bool warned;                  // whether it warns of line 2
  } cases[] = {
      {"half a record", Line(90).substr(0, Line(90).size() / 2), {1, 2, 3}, true},
      {"one byte", "{", {1, 2, 3}, true},
      // Its record was whole: it is kept, on a line of its own.
      {"all but the line end", RecordJson(Board(91)), {1, 91, 2, 3}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / (std::string(c.name) + ".jsonl");
    AppendFile first, second;
    std::string why;
    ASSERT_TRUE(first.Open(path.string(), &why)) << why;
    ASSERT_TRUE(second.Open(path.string(), &why)) << why;
    ASSERT_TRUE(first.Append(Line(1), &why)) << why;
    // A third process, open since before, dies mid-write.
    std::ofstream(path, std::ios::binary | std::ios::app) << c.torn;
    ASSERT_TRUE(second.Append(Line(2), &why)) << why;
    ASSERT_TRUE(first.Append(Line(3), &why)) << why;
    std::vector<std::string> warnings;
    EXPECT_EQ(BoardsIn(path, &warnings), c.shown);
    EXPECT_EQ(warnings, c.warned ? std::vector<std::string>{"line 2: torn or not a record: skipped"}
                                 : std::vector<std::string>{});
    // The torn bytes stay, alone on their line: nothing else was cut.
    EXPECT_EQ(ReadText(path), Line(1) + c.torn + "\n" + Line(2) + Line(3));
  }
}

#ifndef _WIN32
// This process's own write cut short (the file size limit stands in for a
// full disk): the append fails, says so, and leaves no partial line behind;
// the next append, with room again, is whole.
TEST_F(AppendTest, AWriteCutShortLeavesNoPartialLine) {
  const fs::path path = dir_ / "records.jsonl";
  AppendFile file;
  std::string why;
  ASSERT_TRUE(file.Open(path.string(), &why)) << why;
  ASSERT_TRUE(file.Append(Line(1), &why)) << why;
  const std::string before = ReadText(path);

  struct sigaction ignore {
  }, old_action{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = static_cast<rlim_t>(before.size() + Line(2).size() / 2);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool appended = file.Append(Line(2), &why);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  sigaction(SIGXFSZ, &old_action, nullptr);

  EXPECT_FALSE(appended);
  EXPECT_EQ(why.rfind("cannot write '" + path.string() + "': ", 0), 0u) << why;
  EXPECT_EQ(ReadText(path), before);
  ASSERT_TRUE(file.Append(Line(3), &why)) << why;
  std::vector<std::string> warnings;
  EXPECT_EQ(BoardsIn(path, &warnings), (std::vector<unsigned>{1, 3}));
  EXPECT_TRUE(warnings.empty());
}

// A writer that hangs in the middle of its append (stopped, or on a dead
// network share) holds the lock: the wait is bounded, the line says so, and
// nothing is written meanwhile.
TEST_F(AppendTest, AWriterHangingMidAppendIsWaitedForABoundedTime) {
  const fs::path path = dir_ / "records.jsonl";
  AppendFile file;
  std::string why;
  ASSERT_TRUE(file.Open(path.string(), &why)) << why;
  ASSERT_TRUE(file.Append(Line(1), &why)) << why;
  const int other = ::open(path.c_str(), O_RDWR | O_APPEND);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  file.SetLockWait(std::chrono::milliseconds(50));
  EXPECT_FALSE(file.Append(Line(2), &why));
  EXPECT_EQ(why, "'" + path.string() +
                     "' is locked for more than 0.05 s by another process, which is still "
                     "running: let it finish or end it (its lock goes with it)");
  ::close(other);
  ASSERT_TRUE(file.Append(Line(3), &why)) << why;
  EXPECT_EQ(BoardsIn(path), (std::vector<unsigned>{1, 3}));
}
#endif

// What an operator (or logrotate) does to the records file during a run.
// The next record must go to the file at the path, and the records before
// stay where the operator put them.
TEST_F(AppendTest, ARecordsFileRotatedMovedOrDeletedIsFollowedToThePath) {
  const struct {
    const char* name;
    std::function<void(const fs::path& path)> act;
    std::vector<unsigned> at_path;  // boards then in the file at the path
    const char* kept;               // where the first record is then, if anywhere
  } cases[] = {
      {"rotated",
       [](const fs::path& p) { fs::rename(p, p.string() + ".1"); },
       {2},
       "line3.jsonl.1"},
      {"rotated, new file made",
       [](const fs::path& p) {
         fs::rename(p, p.string() + ".1");
         std::ofstream(p, std::ios::binary) << Line(50);
       },
       {50, 2},
       "line3.jsonl.1"},
      {"moved to another folder",
       [](const fs::path& p) {
         fs::create_directory(p.parent_path() / "archive");
         fs::rename(p, p.parent_path() / "archive" / p.filename());
       },
       {2},
       "archive/line3.jsonl"},
#ifndef _WIN32
      // Windows keeps a deleted file's name until its last handle closes
      // and says so (the file is "delete pending"), or drops the name at
      // once; Wine does neither, so these rows run on Linux alone. Windows
      // also refuses to replace a file that is open.
      {"deleted", [](const fs::path& p) { fs::remove(p); }, {2}, nullptr},
      {"replaced by another file",
       [](const fs::path& p) {
         std::ofstream(p.string() + ".new", std::ios::binary) << Line(60);
         fs::rename(p.string() + ".new", p);
       },
       {60, 2},
       nullptr},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = dir_ / c.name;
    const fs::path path = folder / "line3.jsonl";
    RecordsFile records;
    std::string why;
    ASSERT_TRUE(records.Open(path.string(), &why)) << why;
    ASSERT_TRUE(records.Append(Board(1), &why)) << why;
    c.act(path);
    ASSERT_TRUE(records.Append(Board(2), &why)) << why;
    EXPECT_EQ(BoardsIn(path), c.at_path);
    if (c.kept != nullptr) {
      EXPECT_EQ(BoardsIn(folder / c.kept), std::vector<unsigned>{1});
    }
  }
}

// The records' path taken by something that is no file (a folder made
// where the rotated file was): the record cannot be written, and says so,
// rather than going into a file no one can see; once the path is free the
// next record lands there.
TEST_F(AppendTest, ARecordsPathThatCannotBeOpenedAgainFailsTheAppendUntilItCan) {
  const fs::path path = dir_ / "line3.jsonl";
  RecordsFile records;
  std::string why;
  ASSERT_TRUE(records.Open(path.string(), &why)) << why;
  ASSERT_TRUE(records.Append(Board(1), &why)) << why;
  fs::rename(path, dir_ / "line3.jsonl.1");
  fs::create_directory(path);
  EXPECT_FALSE(records.Append(Board(2), &why));
  EXPECT_EQ(why.rfind("'" + path.string() + "' was moved or deleted and cannot be made again: ", 0),
            0u)
      << why;
  fs::remove(path);
  ASSERT_TRUE(records.Append(Board(3), &why)) << why;
  EXPECT_EQ(BoardsIn(path), std::vector<unsigned>{3});
  EXPECT_EQ(BoardsIn(dir_ / "line3.jsonl.1"), std::vector<unsigned>{1});
}

#ifndef _WIN32
// The records' folder removed during a run (Windows refuses to remove a
// folder holding an open file): the record fails with the system's reason
// until the folder is back.
TEST_F(AppendTest, ARecordsFolderRemovedFailsTheAppendUntilItIsBack) {
  const fs::path path = dir_ / "records" / "line3.jsonl";
  RecordsFile records;
  std::string why;
  ASSERT_TRUE(records.Open(path.string(), &why)) << why;
  ASSERT_TRUE(records.Append(Board(1), &why)) << why;
  fs::remove_all(dir_ / "records");
  EXPECT_FALSE(records.Append(Board(2), &why));
  EXPECT_EQ(why, "'" + path.string() + "' was moved or deleted and cannot be made again: " +
                     "cannot open '" + path.string() + "' for writing: No such file or directory");
  fs::create_directories(dir_ / "records");
  ASSERT_TRUE(records.Append(Board(3), &why)) << why;
  EXPECT_EQ(BoardsIn(path), std::vector<unsigned>{3});
}
#endif

}  // namespace
}  // namespace quelmar::production
