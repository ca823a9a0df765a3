// The desktop program as the operator drives it: its dialog's controls and
// states, code and data updates against the simulated board through the
// dialog's own buttons, and the single instance.
#include <gtest/gtest.h>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QThread>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "common/ids.h"
#include "dies_with_test.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "lock_watch.h"
#include "process.h"
#include "support/fake_clock.h"
#include "ui/gui_app.h"
#include "ui/log_view.h"
#include "ui/progress_indicator.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// Runs the event loop until pred holds; false after the limit, with a
// failure naming what was waited for.
bool WaitFor(const std::string& what, const std::function<bool()>& pred,
             std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "waited " << limit.count() << " s for " << what;
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

class PathChooser final : public image::FileChooser {
 public:
  std::optional<std::string> ChooseImageFile(image::ImageKind kind) override {
    return kind == image::ImageKind::kCode ? code : data;
  }
  std::optional<std::string> code, data;
};

QPushButton* Button(ui::GuiApp& gui, int id) {
  return qobject_cast<QPushButton*>(gui.Dialog().Control(id));
}

std::string LogText(ui::GuiApp& gui) {
  return gui.Dialog().Log()->toPlainText().toStdString();
}

TEST(MainDialog, StartsWithTheControlsAndStatesOfItsTemplate) {
  TempDir dir;
  setenv("QUELMAR_PORT_DIR", dir.path().c_str(), 1);
  ui::GuiApp gui;
  ASSERT_TRUE(gui.Start());
  ui::MainDialog& dialog = gui.Dialog();
  EXPECT_EQ(dialog.windowTitle(), "Tarnivel Quelmar");
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_EQ(dialog.size(), dialog.UnitsToPixels(0, 0, 271, 183).size());

  struct Expected {
    int id;
    const char* text;
    bool enabled;
  };
  for (const Expected& e :
       {Expected{IDC_OPEN_CODE, "Open Code File", true},
        Expected{IDC_UPDATE_CODE, "Update Code", false},
        Expected{IDC_OPEN_FLASH, "Open Flash File", true},
        Expected{IDC_UPDATE_FLASH, "Update Flash", false}, Expected{IDC_REBOOT, "Reboot", false},
        Expected{IDC_EXIT, "Exit", true}}) {
    QPushButton* button = Button(gui, e.id);
    ASSERT_NE(button, nullptr) << e.id;
    EXPECT_EQ(button->text().toStdString(), e.text);
    EXPECT_EQ(button->isEnabled(), e.enabled) << e.text;
    EXPECT_FALSE(button->autoDefault() || button->isDefault()) << e.text;
  }
  QComboBox* box = dialog.PortBox();
  EXPECT_TRUE(box->isEnabled());
  ASSERT_GE(box->count(), 1);
  EXPECT_EQ(box->itemText(0), "----");
  EXPECT_EQ(box->currentIndex(), 0);
  QStringList labels;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
  labels.sort();
  EXPECT_EQ(labels.join(","), "1,2,3,4,5,6,Select COM Port");
  EXPECT_EQ(LogText(gui), "");
  EXPECT_EQ(dialog.ProgressBar()->State(), ProgressState{});

  // The control sets never touch Exit; the window manager's close is Exit.
  dialog.SetControlEnabled(IDC_EXIT, false);
  EXPECT_TRUE(Button(gui, IDC_EXIT)->isEnabled());
  dialog.close();
  ASSERT_TRUE(WaitFor("the program to close", [&] { return gui.Closed(); })) << LogText(gui);
}

TEST(MainDialog, CodeAndDataUpdatesThroughTheButtonsReachTheSimulatedFlash) {
  TempDir dir;
  const std::string port_dir = dir.File("ports");
  ASSERT_EQ(mkdir(port_dir.c_str(), 0700), 0);
  setenv("QUELMAR_PORT_DIR", port_dir.c_str(), 1);
  SimProcess sim;
  ASSERT_TRUE(
      sim.Start({"--com", "100", "--erase-ms", "0", "--dump-code-a", dir.File("a.bin"),
                 "--dump-code-b", dir.File("b.bin"), "--dump-data", dir.File("d.bin"), "--quiet"},
                {"QUELMAR_PORT_DIR=" + port_dir}));

  const Bytes bank_a = RandomBytes(256 * 300, 1), bank_b = RandomBytes(256 * 40, 2);
  const Bytes data = RandomBytes(512 * 9 + 256, 3);
  const Bytes code_file = image::BuildCodeFile(&bank_a, &bank_b, 'E');
  const Bytes data_file = image::BuildDataFile(data, 'D');
  ASSERT_FALSE(code_file.empty() || data_file.empty());
  PathChooser chooser;
  chooser.code = dir.File("app.fcode");
  chooser.data = dir.File("app.fdata");
  ASSERT_TRUE(image::WriteFileAtomically(*chooser.code, code_file, nullptr));
  ASSERT_TRUE(image::WriteFileAtomically(*chooser.data, data_file, nullptr));

  FakeClock clock;  // the data flash's minute-long safety wait costs nothing
  ui::GuiApp::Options options;
  options.chooser = &chooser;
  options.clock = &clock;
  ui::GuiApp gui(options);
  ASSERT_TRUE(gui.Start());

  // The operator picks the simulated board's entry.
  QComboBox* box = gui.Dialog().PortBox();
  const int index = box->findText("COM 100");
  ASSERT_GT(index, 0);
  box->setCurrentIndex(index);
  emit box->activated(index);
  ASSERT_TRUE(WaitFor("Reboot to be enabled", [&] { return Button(gui, IDC_REBOOT)->isEnabled(); }))
      << LogText(gui);

  Button(gui, IDC_OPEN_CODE)->click();
  ASSERT_TRUE(WaitFor("Update Code to be enabled", [&] {
    return Button(gui, IDC_UPDATE_CODE)->isEnabled();
  })) << LogText(gui);
  {
    LockWatch lock(Button(gui, IDC_OPEN_CODE));
    Button(gui, IDC_UPDATE_CODE)->click();
    ASSERT_TRUE(WaitFor("the code update to end with Open Code File unlocked", [&] {
      return LogText(gui).find("Write extended CODE... OK.") != std::string::npos &&
             Button(gui, IDC_OPEN_CODE)->isEnabled();
    })) << LogText(gui);
    EXPECT_TRUE(lock.WasLocked()) << "Open Code File stayed enabled during the update";
  }

  Button(gui, IDC_OPEN_FLASH)->click();
  ASSERT_TRUE(WaitFor("Update Flash to be enabled", [&] {
    return Button(gui, IDC_UPDATE_FLASH)->isEnabled();
  })) << LogText(gui);
  {
    LockWatch lock(Button(gui, IDC_OPEN_FLASH));
    Button(gui, IDC_UPDATE_FLASH)->click();
    ASSERT_TRUE(WaitFor("the data update to end with Open Flash File unlocked", [&] {
      return LogText(gui).find("Write to FLASH... OK.") != std::string::npos &&
             Button(gui, IDC_OPEN_FLASH)->isEnabled();
    })) << LogText(gui);
    EXPECT_TRUE(lock.WasLocked()) << "Open Flash File stayed enabled during the update";
  }

  EXPECT_EQ(LogText(gui),
            "Opened COM100\n"
            "Get bootloader info... OK.\n"
            "Found bootloader v2.8.\n"
            "Get chip info... OK.\n"
            "Chip: LPC4357\n"
            "Loading CODE completed !\n"
            "Erase CODE... OK.\n"
            "Write CODE... OK.\n"
            "Write extended CODE... OK.\n"
            "Loading FLASH completed !\n"
            "Start erase FLASH... OK.\n"
            "Waiting complete erase FLASH... OK.\n"
            "Failed wait BUSY flag... additional waiting.... OK.\n"
            "Goto write FLASH mode... OK.\n"
            "Write to FLASH... OK.\n");
  for (int id : {IDC_UPDATE_CODE, IDC_UPDATE_FLASH, IDC_REBOOT}) {
    EXPECT_TRUE(Button(gui, id)->isEnabled()) << id;
  }
  EXPECT_EQ(gui.Dialog().ProgressBar()->State().position, 0u);
  // The README's picture of the dialog after an update (scripts/screenshot.sh).
  if (const char* shot = std::getenv("QUELMAR_SCREENSHOT")) {
    EXPECT_TRUE(gui.Dialog().grab().save(QString::fromLocal8Bit(shot), "PNG")) << shot;
  }

  // Exit while idle ends the program; the images on disk are untouched.
  Button(gui, IDC_EXIT)->click();
  ASSERT_TRUE(WaitFor("the program to close", [&] { return gui.Closed(); })) << LogText(gui);
  EXPECT_EQ(FileBytes(*chooser.code), code_file);
  EXPECT_EQ(FileBytes(*chooser.data), data_file);

  ASSERT_EQ(sim.Stop(), 0);
  Bytes expected_a(image::CODE_IMAGE_SIZE, 0xFF), expected_b(image::CODE_IMAGE_SIZE, 0xFF);
  std::copy(bank_a.begin(), bank_a.end(), expected_a.begin());
  std::copy(bank_b.begin(), bank_b.end(), expected_b.begin());
  Bytes expected_data = data;
  expected_data.resize(512 * 10, 0xFF);
  EXPECT_TRUE(FileBytes(dir.File("a.bin")) == expected_a);
  EXPECT_TRUE(FileBytes(dir.File("b.bin")) == expected_b);
  EXPECT_TRUE(FileBytes(dir.File("d.bin")) == expected_data);
}

TEST(MainDialog, ASilentBoardNeverFreezesTheWindowAndLaterClicksWaitTheirTurn) {
  TempDir dir;
  const std::string port_dir = dir.File("ports");
  ASSERT_EQ(mkdir(port_dir.c_str(), 0700), 0);
  setenv("QUELMAR_PORT_DIR", port_dir.c_str(), 1);
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--com", "101", "--fault", "silent@cmd=0x01", "--quiet"},
                        {"QUELMAR_PORT_DIR=" + port_dir}));
  const Bytes bank = RandomBytes(256, 4);
  PathChooser chooser;
  chooser.code = dir.File("app.fcode");
  ASSERT_TRUE(image::WriteFileAtomically(*chooser.code, image::BuildCodeFile(&bank, nullptr, 'F'),
                                         nullptr));
  ui::GuiApp::Options options;
  options.chooser = &chooser;
  ui::GuiApp gui(options);
  ASSERT_TRUE(gui.Start());

  QComboBox* box = gui.Dialog().PortBox();
  const int index = box->findText("COM 101");
  ASSERT_GT(index, 0);
  box->setCurrentIndex(index);
  emit box->activated(index);
  // The unanswered request shows while the worker still waits for the board.
  ASSERT_TRUE(WaitFor("the log to show the unanswered request", [&] {
    return LogText(gui) == "Opened COM101\nGet bootloader info... ";
  })) << LogText(gui);
  EXPECT_TRUE(gui.Window().PortChangePending());
  Button(gui, IDC_OPEN_CODE)->click();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_FALSE(gui.Window().Images().HasCodeImage());  // waits for the open

  ASSERT_TRUE(WaitFor("the window to be idle", [&] { return gui.Window().Idle(); }))
      << LogText(gui);
  EXPECT_EQ(LogText(gui),
            "Opened COM101\n"
            "Get bootloader info... FAIL.\n"
            "Not reply from device !\n"
            "COM port closed.\n"
            "Loading CODE completed !\n");
  EXPECT_FALSE(gui.Window().IsPortReady());
  EXPECT_FALSE(Button(gui, IDC_REBOOT)->isEnabled());
  EXPECT_FALSE(Button(gui, IDC_UPDATE_CODE)->isEnabled());
  gui.CloseProgram();
}

TEST(Program, ASecondStartExitsWithOneAndLeavesTheFirstRunning) {
  TempDir dir;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path()));
  env.insert("QUELMAR_PORT_DIR", QString::fromStdString(dir.File("ports")));
  env.insert("QT_QPA_PLATFORM", "offscreen");
  QProcess first;
  DiesWithTest(first);
  first.setProcessEnvironment(env);
  first.start(QUELMAR_GUI_PATH, {});
  ASSERT_TRUE(first.waitForStarted());
  const QString socket = QString::fromStdString(dir.File("quelmar/gui.sock"));
  ASSERT_TRUE(WaitFor(
      "the first program's single-instance socket", [&] { return QFile::exists(socket); },
      std::chrono::seconds(20)));

  QProcess second;
  DiesWithTest(second);
  second.setProcessEnvironment(env);
  second.start(QUELMAR_GUI_PATH, {});
  ASSERT_TRUE(second.waitForFinished(20000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 1);
  EXPECT_EQ(first.state(), QProcess::Running);

  first.terminate();
  ASSERT_TRUE(first.waitForFinished(20000));
}

}  // namespace
}  // namespace quelmar::testing
