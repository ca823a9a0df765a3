#include "ui/single_instance.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "dies_with_test.h"

namespace quelmar::ui {
namespace {

constexpr char kHolderEnv[] = "QUELMAR_TEST_HOLD_INSTANCE";

// Started with kHolderEnv set, this binary only claims the instance in that
// directory, says whether it got it, and waits to be killed.
[[maybe_unused]] const bool kIsHolder = [] {
  const char* dir = std::getenv(kHolderEnv);
  if (dir == nullptr) return false;
  int argc = 1;
  char name[] = "quelmar";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  SingleInstance instance(QString::fromLocal8Bit(dir));
  std::puts(instance.Claim() ? "claimed" : "refused");
  std::fflush(stdout);
  for (;;) pause();
}();

bool SpinUntil(const std::function<bool()>& done) {
  const QDeadlineTimer deadline(10000);
  while (!done() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  return done();
}

// Starts count holders in dir at once and kills them (SIGKILL: they leave
// their files behind) once all have answered; returns the answers.
QByteArray RunHolders(const QString& dir, int count) {
  std::vector<std::unique_ptr<QProcess>> holders;
  for (int i = 0; i < count; ++i) {
    holders.push_back(std::make_unique<QProcess>());
    testing::DiesWithTest(*holders.back());
    holders.back()->setEnvironment(QProcess::systemEnvironment()
                                   << QString(kHolderEnv) + '=' + dir);
    holders.back()->start(QCoreApplication::applicationFilePath(), {});
  }
  QByteArray answers;
  for (auto& h : holders) {
    if (SpinUntil([&] { return h->canReadLine(); })) answers += h->readLine().trimmed() + ' ';
  }
  for (auto& h : holders) {
    h->kill();
    h->waitForFinished();
  }
  return answers;
}

// A later start is refused and makes first emit activateRequested.
void ExpectActivates(SingleInstance& first, const QString& dir) {
  bool activated = false;
  QObject::connect(&first, &SingleInstance::activateRequested, [&] { activated = true; });
  SingleInstance second(dir);
  EXPECT_FALSE(second.Claim());
  EXPECT_TRUE(SpinUntil([&] { return activated; }));
}

TEST(SingleInstanceTest, SecondStartActivatesTheFirst) {
  QTemporaryDir dir;
  SingleInstance first(dir.path());
  ASSERT_TRUE(first.Claim());
  ExpectActivates(first, dir.path());
}

TEST(SingleInstanceTest, KilledHolderDoesNotBlockTheNextStart) {
  QTemporaryDir dir;
  ASSERT_EQ(RunHolders(dir.path(), 1), "claimed ");
  ASSERT_TRUE(QFile::exists(dir.filePath("gui.lock")) && QFile::exists(dir.filePath("gui.sock")));
  SingleInstance next(dir.path());
  ASSERT_TRUE(next.Claim());
  ExpectActivates(next, dir.path());  // listening in place of the dead socket
}

TEST(SingleInstanceTest, OldLockQtCannotJudgeByPidIsReclaimed) {
  QTemporaryDir dir;
  QFile lock(dir.filePath("gui.lock"));
  ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
  lock.write("999999\nquelmar\nsome-other-host\n");
  lock.flush();  // or closing would set the time anew
  lock.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime);
  lock.close();
  SingleInstance next(dir.path());
  EXPECT_TRUE(next.Claim());
}

TEST(SingleInstanceTest, OnlyOneOfTwoSimultaneousStartsWins) {
  QTemporaryDir dir;
  const QByteArray answers = RunHolders(dir.path(), 2);
  EXPECT_TRUE(answers == "claimed refused " || answers == "refused claimed ") << answers.data();
}

}  // namespace
}  // namespace quelmar::ui
