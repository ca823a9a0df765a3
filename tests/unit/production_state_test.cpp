// State files as an operator and a second process meet them on Linux: links
// to a shared state, links that lead nowhere, errors that are not "no state
// yet", a state for another block, a profile folder copied without its
// state, a lock file removed or replaced under a holder that hangs, and a
// folder whose flush fails.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "image/image_writer.h"
#include "process.h"
#include "production/durable_file.h"
#include "production/plan.h"
#include "production/run.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs fn where permissions count: in a child process that, under root,
// first becomes nobody (root reads any folder, so its checks never fail).
// The child's result and the line it reports come back.
bool WherePermissionsCount(const fs::path& dir, const std::function<bool(std::string*)>& fn,
                           std::string* line) {
  const bool root = geteuid() == 0;
  if (root) {
    for (const auto& entry : fs::recursive_directory_iterator(dir))
      (void)!lchown(entry.path().c_str(), 65534, 65534);
    (void)!chown(dir.c_str(), 65534, 65534);
  }
  int out[2];
  if (pipe(out) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    std::string said;
    const bool ok = fn(&said);
    (void)!write(out[1], said.data(), said.size());
    _exit(ok ? 0 : 1);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t n = 0;
  line->clear();
  while ((n = read(out[0], buffer, sizeof buffer)) > 0)
    line->append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "the child did not run";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class StateFileTest : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_state_");
    ASSERT_FALSE(dir_.empty());
    Bytes code(1000, 0x11);
    const Bytes file = image::BuildCodeFile(&code, nullptr, 'E');
    ASSERT_TRUE(images_.LoadCodeImageFromMemory(file.data(), file.size()));
  }
  void TearDown() override {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ec))
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  FieldDef Counter(uint64_t start, std::optional<uint64_t> end = std::nullopt, uint64_t step = 1) {
    FieldDef f;
    f.name = "sn";
    std::string why;
    EXPECT_TRUE(ParseWhere("0x1A07FF00", &f.where, &why));
    f.size = 4;
    f.start = start;
    f.end = end;
    f.step = step;
    f.state_path = (dir_ / "sn.state").string();
    return f;
  }

  // A run as the CLI makes it, with the run's records file.
  bool PrepareRun(const FieldDef& f, const std::string& records, std::string* why) {
    ProductionRun run;
    RunSettings settings;
    settings.fields = {f};
    if (!records.empty()) settings.records_path = records;
    return run.Prepare(settings, images_, why);
  }

  // One value from a fresh plan, as a new process would take it.
  std::string Take(const FieldDef& f) {
    FieldPlan plan;
    std::string why;
    if (!plan.Prepare({f}, images_, &why)) return "refused: " + why;
    std::vector<FieldValue> values;
    if (plan.Reserve(&values, &why) != ValueSource::Reserved::kOk) return "not given: " + why;
    return std::to_string(values[0].number);
  }

  fs::path dir_;
  Log log_;
  image::ImageStore images_{log_};
};

TEST_F(StateFileTest, LinksAndErrorsAreFollowedOrRefusedNeverTakenAsNoState) {
  const std::string state = (dir_ / "sn.state").string();
  const std::string prefix = "field 'sn' at 0x1A07FF00: ";
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    std::string refusal;  // empty: accepted
  };
  const Case cases[] = {
      {"a link that leads nowhere",
       [](const fs::path& d) { fs::create_symlink("gone/sn.state", d / "sn.state"); },
       "the state file '" + state + "' is a link to 'gone/sn.state', which does not exist"},
      {"a link loop",
       [](const fs::path& d) {
         fs::create_symlink("other.state", d / "sn.state");
         fs::create_symlink("sn.state", d / "other.state");
       },
       "cannot look at the state file '" + state + "': Too many levels of symbolic links"},
      {"a link through a file",
       [](const fs::path& d) {
         WriteText(d / "notes.txt", "x");
         fs::create_symlink("notes.txt/sn.state", d / "sn.state");
       },
       "cannot look at the state file '" + state + "': Not a directory"},
      {"a folder", [](const fs::path& d) { fs::create_directory(d / "sn.state"); },
       "the state file '" + state + "' is not a regular file"},
      // Another line's state reached by `ln` without -s: each name would get
      // its own lock, and the first rename would part the two.
      {"a second name of another line's state (a hard link)",
       [](const fs::path& d) {
         fs::create_directory(d / "line4");
         WriteText(d / "line4" / "sn.state", "next 100\n");
         fs::create_hard_link(d / "line4" / "sn.state", d / "sn.state");
       },
       "the state file '" + state +
           "' has another name (a hard link): to share one state, use a symbolic link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
    c.make(dir_);
    const fs::file_type before = fs::symlink_status(dir_ / "sn.state").type();
    std::string why;
    FieldPlan plan;
    EXPECT_FALSE(plan.Prepare({Counter(100)}, images_, &why));
    EXPECT_EQ(why, prefix + c.refusal);
    // Nothing was made beside it, nothing replaced it.
    EXPECT_FALSE(fs::exists(dir_ / "sn.state.lock"));
    EXPECT_EQ(fs::symlink_status(dir_ / "sn.state").type(), before);
  }
}

// The lock file is the program's own, made beside its state: one that is
// a link (planted in a shared folder, or left by a script) is never
// followed, so what it leads to is neither emptied nor made.
TEST_F(StateFileTest, ALockFileThatIsALinkIsRefusedAndWhatItLeadsToIsKept) {
  const std::string lock = (dir_ / "sn.state.lock").string();
  const struct {
    const char* name;
    const char* target;   // relative to the test's folder
    const char* content;  // nullptr: the target does not exist
  } cases[] = {
      {"a link to a file of the operator's", "notes.txt", "line 1\nline 2\n"},
      {"a link to a file that does not exist", "made-by-the-lock", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
    WriteText(dir_ / "sn.state", "next 100\n");
    if (c.content != nullptr) WriteText(dir_ / c.target, c.content);
    fs::create_symlink(dir_ / c.target, lock);
    EXPECT_EQ(Take(Counter(100)), "refused: field 'sn' at 0x1A07FF00: the lock file '" + lock +
                                      "' is a link, which this program never makes: move it away");
    if (c.content != nullptr) {
      EXPECT_EQ(ReadText(dir_ / c.target), c.content);
    } else {
      EXPECT_FALSE(fs::exists(dir_ / c.target));
    }
    EXPECT_EQ(ReadText(dir_ / "sn.state"), "next 100\n") << "no value was given";
  }
}

TEST_F(StateFileTest, ALinkedStateAdvancesTheSharedFileWithItsLockBesideIt) {
  fs::create_directory(dir_ / "shared");
  WriteText(dir_ / "shared" / "sn.state", "next 100\n");
  fs::create_symlink("shared/sn.state", dir_ / "sn.state");
  EXPECT_EQ(Take(Counter(1)), "100");
  EXPECT_EQ(Take(Counter(1)), "101");
  EXPECT_TRUE(fs::is_symlink(dir_ / "sn.state"));
  EXPECT_EQ(ReadText(dir_ / "shared" / "sn.state"), "next 102\nstart 1\nstep 1\n");
  // One lock for everyone who reaches the file, whichever way.
  EXPECT_TRUE(fs::exists(dir_ / "shared" / "sn.state.lock"));
  EXPECT_FALSE(fs::exists(dir_ / "sn.state.lock"));
  // Two fields on two links to one file share one state file.
  fs::create_symlink("shared/sn.state", dir_ / "second.state");
  FieldDef second = Counter(1);
  second.name = "second";
  second.where.offset += 0x10;
  second.state_path = (dir_ / "second.state").string();
  FieldPlan plan;
  std::string why;
  EXPECT_FALSE(plan.Prepare({Counter(1), second}, images_, &why));
  EXPECT_EQ(why, "field 'second' at 0x1A07FF10: it shares its state file with field 'sn'");
}

TEST_F(StateFileTest, AStateBehindAFolderThatCannotBeSearchedIsRefused) {
  fs::create_directory(dir_ / "locked");
  WriteText(dir_ / "locked" / "sn.state", "next 500\n");
  fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("locked/sn.state", dir_ / "sn.state");
  const FieldDef f = Counter(1);
  std::string line;
  const bool prepared = WherePermissionsCount(
      dir_,
      [&](std::string* why) {
        FieldPlan plan;
        return plan.Prepare({f}, images_, why);
      },
      &line);
  EXPECT_FALSE(prepared);
  EXPECT_EQ(line, "field 'sn' at 0x1A07FF00: cannot look at the state file '" + f.state_path +
                      "': Permission denied");
  fs::permissions(dir_ / "locked", fs::perms::owner_all);
  EXPECT_TRUE(fs::is_symlink(dir_ / "sn.state"));
  EXPECT_EQ(ReadText(dir_ / "locked" / "sn.state"), "next 500\n");
}

TEST_F(StateFileTest, AStateForAnotherBlockIsRefusedNamingBoth) {
  const std::string state = (dir_ / "sn.state").string();
  const std::string away = ": to start the profile's block, move '" + state + "' away";
  struct Case {
    const char* name;
    std::string text;
    FieldDef field;
    std::string result;  // the value given, or the refusal
  };
  const Case cases[] = {
      {"1.1.0 state below start", "next 5\n", Counter(100000),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' says next 5, which is not in the profile's block (start 100000, no end, step 1)" +
           away},
      {"1.1.0 state above end", "next 500\n", Counter(10, 20, 5),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' says next 500, which is not in the profile's block (start 10, end 20, step 5)" +
           away},
      {"1.1.0 state off the step", "next 12\n", Counter(10, 20, 5),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' says next 12, which is not in the profile's block (start 10, end 20, step 5)" + away},
      {"1.1.0 state of a used-up block", "next 25\n", Counter(10, 20, 5),
       "not given: field 'sn': the counter is used up (its end is 20)"},
      {"the profile's block moved", "next 100005\nstart 100000\nstep 1\nend 199999\n",
       Counter(200000, 299999),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' was written for start 100000, end 199999, step 1, but the profile says start "
           "200000, end 299999, step 1" +
           away},
      {"the profile's end grew", "next 100005\nstart 100000\nstep 1\nend 199999\n",
       Counter(100000, 299999),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' was written for start 100000, end 199999, step 1, but the profile says start "
           "100000, end 299999, step 1" +
           away},
      {"a second line's interleaved block", "next 100050\nstart 100000\nstep 2\n",
       Counter(100001, std::nullopt, 2),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' was written for start 100000, no end, step 2, but the profile says start 100001, "
           "no end, step 2" +
           away},
      {"1.1.0 state in the block", "next 7\n", Counter(1), "7"},
      {"its own block", "next 100005\nstart 100000\nstep 1\nend 199999\n", Counter(100000, 199999),
       "100005"},
      {"a corrupt second line", "next 7\nstart 1\nstep 1\nbogus 3\n", Counter(1),
       "refused: field 'sn' at 0x1A07FF00: the state file '" + state +
           "' is corrupt (line 4 is not one this program writes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(state, c.text);
    EXPECT_EQ(Take(c.field), c.result);
  }
  // A 1.1.0 state gains its block on its next write.
  WriteText(state, "next 7\n");
  ASSERT_EQ(Take(Counter(1, 1000)), "7");
  EXPECT_EQ(ReadText(state), "next 8\nstart 1\nstep 1\nend 1000\n");
}

// The records tell what was given: a state file missing (a profile folder
// copied without it) or behind them (put back from an older copy) would
// give those values again.
TEST_F(StateFileTest, AStateMissingOrBehindTheRecordsIsRefused) {
  const std::string records = (dir_ / "records.jsonl").string();
  const std::string state = (dir_ / "sn.state").string();
  auto record = [](const std::string& fields) {
    return "{\"port\":\"COM3\",\"result\":\"ok\",\"fields\":" + fields + "}\n";
  };
  const std::string behind = "field 'sn' at 0x1A07FF00: the state file '" + state +
                             "' is behind the records: '" + records + "' already holds ";
  struct Case {
    const char* name;
    std::string records_text;
    FieldDef field;
    std::string refusal;     // empty: accepted
    std::string state_text;  // empty: no state file
  };
  const Case cases[] = {
      {"a state put back from an older copy", record("{\"sn\":100000}") + record("{\"sn\":100003}"),
       Counter(100000),
       behind + "100003 of this field, but the state says next 100002 (a state file put back "
                "from an older copy?): put the newest state file back",
       "next 100002\nstart 100000\nstep 1\n"},
      {"a state at the last value filed", record("{\"sn\":100003}"), Counter(100000),
       behind + "100003 of this field, but the state says next 100003 (a state file put back "
                "from an older copy?): put the newest state file back",
       "next 100003\n"},
      {"a state ahead of its records", record("{\"sn\":100003}"), Counter(100000), "",
       "next 100004\n"},
      {"a used-up state", record("{\"sn\":100003}"), Counter(100000, 100003), "", "used-up\n"},
      {"values of the block", record("{\"sn\":100000}") + record("{\"sn\":100041,\"x\":1}"),
       Counter(100000),
       "field 'sn' at 0x1A07FF00: there is no state file '" + state + "', but '" + records +
           "' already holds values of this field (up to 100041): put the state file back, or "
           "start the block past them",
       ""},
      {"values below the block", record("{\"sn\":99999}"), Counter(100000), "", ""},
      {"values past the block's end", record("{\"sn\":500}"), Counter(100, 199), "", ""},
      {"another field's values", record("{\"serial\":100000}"), Counter(100000), "", ""},
      {"a torn line and a failed board's value",
       "{\"port\":\"CO\n" + record("{\"sn\":100003}") + record("{\"sn\":null}"), Counter(100000),
       "field 'sn' at 0x1A07FF00: there is no state file '" + state + "', but '" + records +
           "' already holds values of this field (up to 100003): put the state file back, or "
           "start the block past them",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(state);
    if (!c.state_text.empty()) WriteText(state, c.state_text);
    WriteText(records, c.records_text);
    std::string why;
    EXPECT_EQ(PrepareRun(c.field, records, &why), c.refusal.empty()) << why;
    if (!c.refusal.empty()) {
      EXPECT_EQ(why, c.refusal);
    }
  }
  // Past them, the new block starts.
  fs::remove(state);
  WriteText(records, record("{\"sn\":100041}"));
  std::string why;
  EXPECT_TRUE(PrepareRun(Counter(100042), records, &why)) << why;
}

TEST_F(StateFileTest, AStateRemovedOrPutBackDuringARunStopsTheNextBoard) {
  const FieldDef f = Counter(100);
  FieldPlan plan;
  std::string why;
  ASSERT_TRUE(plan.Prepare({f}, images_, &why)) << why;
  std::vector<FieldValue> values;
  ASSERT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kOk) << why;
  ASSERT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kOk) << why;
  const std::string saved = ReadText(f.state_path);  // next 102
  ASSERT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kOk) << why;

  fs::remove(f.state_path);
  EXPECT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kFailed);
  EXPECT_EQ(why, "field 'sn': the state file '" + f.state_path +
                     "' was removed while the run was going: put it back before the next board");
  // An older copy put back would give 102 again.
  WriteText(f.state_path, saved);
  EXPECT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kFailed);
  EXPECT_EQ(why, "field 'sn': the state file '" + f.state_path +
                     "' went back while the run was going (102 after 103): its values would be "
                     "given again");
}

// The lock file replaced while a process that hangs holds the old one: a
// process that waited on the old file must not take it once the hung one
// ends, while another holds the new one.
TEST_F(StateFileTest, AWaiterLetsGoOfALockFileThatWasReplaced) {
  const FieldDef f = Counter(100);
  const std::string lock = f.state_path + ".lock";
  ValueSource waiter;
  std::string why;
  ASSERT_TRUE(waiter.Open(f, SourceOptions{std::chrono::seconds(4), ""}, &why)) << why;

  testing::BackgroundProgram hung;
  ASSERT_TRUE(hung.Start(QUELMAR_STATE_HELPER, {"hold", lock}));
  ASSERT_TRUE(hung.WaitForOutput("held\n", 1, std::chrono::seconds(30))) << hung.Out();

  ValueSource::Reserved reserved = ValueSource::Reserved::kOk;
  std::string waiter_why;
  std::thread waiting([&] {
    FieldValue v;
    reserved = waiter.Reserve(&v, &waiter_why);
  });
  // Until the waiter has the old lock file open.
  auto waiter_has_it_open = [&] {
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (fs::read_symlink(fd.path(), ec) == fs::path(lock)) return true;
    }
    return false;
  };
  for (int i = 0; i < 2000 && !waiter_has_it_open(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(waiter_has_it_open());

  // The operator replaces the lock file, and another process has the new one.
  WriteText(lock + ".new", "");
  FileLock other;
  ASSERT_TRUE(other.Acquire(lock + ".new", std::chrono::milliseconds(0), &why)) << why;
  fs::rename(lock + ".new", lock);
  hung.Signal(SIGKILL);
  hung.Wait(std::chrono::seconds(30));
  waiting.join();
  EXPECT_EQ(reserved, ValueSource::Reserved::kFailed);
  EXPECT_EQ(waiter_why, "'" + lock + "' is locked for more than 4 s by " + ProcessName() +
                            ", which is still running: let it finish or end it (its lock goes "
                            "with it)");
  EXPECT_FALSE(fs::exists(f.state_path)) << ReadText(f.state_path);
}

// The lock file removed while its holder hangs between reading the state
// and writing it: a second process gets in (a removed file excludes no one),
// so the holder, once it goes on, must not use the value it read.
TEST_F(StateFileTest, AHolderWhoseLockFileWasRemovedGivesNoValue) {
  const FieldDef f = Counter(100);
  const std::string lock = f.state_path + ".lock";
  WriteText(f.state_path, "next 100\n");
  ValueSource holder;
  std::string why;
  ASSERT_TRUE(holder.Open(f, SourceOptions{}, &why)) << why;
  testing::RunResult second;
  holder.SetPauseForTest([&] {
    fs::remove(lock);
    second = testing::RunProgram(QUELMAR_STATE_HELPER, {"reserve", f.state_path, "100"}, {},
                                 std::chrono::seconds(60));
  });
  FieldValue value;
  EXPECT_EQ(holder.Reserve(&value, &why), ValueSource::Reserved::kFailed);
  EXPECT_EQ(why, "the lock file '" + lock + "' was removed or replaced while this process held it")
      << "the holder gave " << value.number;
  EXPECT_EQ(second.exit_code, 0) << second.out << second.err;
  EXPECT_EQ(second.out, "value 100\n");
  EXPECT_EQ(ReadText(f.state_path), "next 101\nstart 100\nstep 1\n");
}

// A lock let go with its file: the file is gone before the lock is, so
// whoever gets the lock next makes a new one rather than hold one that is
// removed under it; and a file another holder put at the path is theirs.
TEST_F(StateFileTest, ALockRemovedWithItsReleaseIsNeverAnotherHoldersFile) {
  const std::string lock = (dir_ / "held.lock").string();
  std::string why;
  for (int round = 0; round < 20; ++round) {
    FileLock held;
    ASSERT_TRUE(held.Acquire(lock, std::chrono::milliseconds(0), &why)) << why;
    const int waiter = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(waiter, 0);
    bool there_when_free = false;
    std::thread take([&] {
      while (flock(waiter, LOCK_EX | LOCK_NB) != 0) {
      }
      struct stat st {};
      there_when_free = ::stat(lock.c_str(), &st) == 0;
    });
    held.ReleaseAndRemove();
    take.join();
    ::close(waiter);
    EXPECT_FALSE(there_when_free) << "round " << round;
  }
  FileLock held;
  ASSERT_TRUE(held.Acquire(lock, std::chrono::milliseconds(0), &why)) << why;
  WriteText(lock + ".new", "");
  fs::rename(lock + ".new", lock);
  held.ReleaseAndRemove();
  EXPECT_TRUE(fs::exists(lock));
}

TEST_F(StateFileTest, ALockWaitSetForTheRunIsTheOneWaited) {
  const FieldDef f = Counter(100);
  FileLock held;
  std::string why;
  ASSERT_TRUE(held.Acquire(f.state_path + ".lock", std::chrono::milliseconds(0), &why)) << why;
  ProductionRun run;
  RunSettings settings;
  settings.fields = {f};
  settings.lock_wait = std::chrono::milliseconds(250);
  EXPECT_FALSE(run.Prepare(settings, images_, &why));
  EXPECT_EQ(why, "field 'sn' at 0x1A07FF00: '" + f.state_path +
                     ".lock' is locked for more than 0.25 s by " + ProcessName() +
                     ", which is still running: let it finish or end it (its lock goes with it)");
}

TEST_F(StateFileTest, AFolderThatCannotBeFlushedFailsTheWrite) {
  // Writable and searchable but not readable: the new file goes in, but
  // the folder cannot be opened to flush the rename.
  fs::create_directory(dir_ / "box");
  const std::string target = (dir_ / "box" / "sn.state").string();
  fs::permissions(dir_ / "box", fs::perms::owner_write | fs::perms::owner_exec);
  std::string line;
  const bool written = WherePermissionsCount(
      dir_,
      [&](std::string* why) {
        return image::WriteFileAtomically(target, {'x', '\n'}, why);
      },
      &line);
  EXPECT_FALSE(written);
  EXPECT_EQ(line, "cannot open the folder '" + (dir_ / "box").string() +
                      "/' to flush it: Permission denied");
}

}  // namespace
}  // namespace quelmar::production
