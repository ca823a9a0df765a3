#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "com_link.h"
#include "pty_driver.h"

namespace quelmar::sim {
namespace {

namespace fs = std::filesystem;

TEST(WireTime, FollowsTheBaudRateWithoutDrift) {
  EXPECT_EQ(WireTime(0).count(), 0);
  EXPECT_EQ(WireTime(1).count(), 86806);  // 86805.55... ns
  EXPECT_EQ(WireTime(4).count(), 347222);
  // A long run is exact: 115200 bytes of 10 bits take 10 s to the nanosecond.
  EXPECT_EQ(WireTime(115200), std::chrono::seconds(10));
  EXPECT_EQ(WireTime(2048 * 266).count(), 47288888889);
}

class ComLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quelmar-sim-test-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    live_ = (root_ / "live-device").string();
    std::ofstream(live_).put('x');
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Folder() const { return (root_ / "ports" / "nested").string(); }
  bool Create(int n, const std::string& target, bool force, std::string* error) {
    return CreateComLink(Folder(), n, target, force, &path_, error);
  }

  fs::path root_;
  std::string live_;
  std::string path_;
};

TEST_F(ComLinkTest, CreatesThePrivateFolderAndTheLink) {
  std::string error;
  ASSERT_TRUE(Create(7, live_, false, &error)) << error;
  EXPECT_EQ(path_, Folder() + "/COM7");
  EXPECT_EQ(fs::read_symlink(path_).string(), live_);
  struct stat st;
  ASSERT_EQ(stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  RemoveComLink(path_, live_);
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
}

TEST_F(ComLinkTest, KeepsALinkToAPresentDeviceUnlessForced) {
  std::string error;
  ASSERT_TRUE(Create(3, live_, false, &error)) << error;
  const std::string mine = (root_ / "other-device").string();
  std::ofstream(mine).put('y');
  EXPECT_FALSE(Create(3, mine, false, &error));
  EXPECT_NE(error.find("COM3"), std::string::npos) << error;
  EXPECT_EQ(fs::read_symlink(Folder() + "/COM3").string(), live_);

  ASSERT_TRUE(Create(3, mine, true, &error)) << error;
  EXPECT_EQ(fs::read_symlink(path_).string(), mine);
}

TEST_F(ComLinkTest, ReplacesAStaleLink) {
  std::string error;
  fs::create_directories(Folder());
  fs::create_symlink(root_ / "gone", Folder() + "/COM4");
  ASSERT_TRUE(Create(4, live_, false, &error)) << error;
  EXPECT_EQ(fs::read_symlink(path_).string(), live_);
}

TEST_F(ComLinkTest, RefusesToReplaceAFileThatIsNotALink) {
  std::string error;
  fs::create_directories(Folder());
  std::ofstream(Folder() + "/COM5").put('z');
  EXPECT_FALSE(Create(5, live_, false, &error));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Folder() + "/COM5")));
}

TEST_F(ComLinkTest, RemovalLeavesALinkThatAnotherProgramTookOver) {
  std::string error;
  ASSERT_TRUE(Create(6, live_, false, &error)) << error;
  const std::string other = (root_ / "other-device").string();
  std::ofstream(other).put('y');
  std::string other_path;
  ASSERT_TRUE(CreateComLink(Folder(), 6, other, true, &other_path, &error)) << error;
  RemoveComLink(path_, live_);
  EXPECT_EQ(fs::read_symlink(other_path).string(), other);
}

}  // namespace
}  // namespace quelmar::sim
