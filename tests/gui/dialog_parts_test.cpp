// The modal pieces of the desktop program and the dropped file: the error
// box, the open-file dialog and a file dropped on the window.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

#include "common/ids.h"
#include "image/build_output.h"
#include "image/image_writer.h"
#include "lock_watch.h"
#include "process.h"
#include "support/firmware.h"
#include "ui/file_chooser.h"
#include "ui/gui_app.h"
#include "ui/log_view.h"

namespace quelmar::testing {
namespace {

// Deals with the next modal widget of type Modal: check runs on it every
// 10 ms until it returns true (it has accepted or closed the widget); a
// file dialog, say, may still be loading its folder, and check waits for
// the dialog to show the file it chose before it accepts. Bounded: when
// the modal is still up after `limit` (check never satisfied, or the modal
// opened another one, as a file dialog's "File not found" box does), the
// test fails naming what it waited for and every modal widget is closed,
// so that the caller's modal call returns instead of hanging the test.
template <class Modal>
void WhileModalShows(const std::string& what, std::function<bool(Modal*)> check,
                     std::chrono::seconds limit = std::chrono::seconds(30)) {
  struct Watch {
    QPointer<Modal> seen;
    bool started = false;  // the modal has shown
    bool done = false;
  };
  auto watch = std::make_shared<Watch>();
  auto* ticker = new QTimer(qApp);  // goes with the application at the latest
  ticker->setInterval(10);
  QObject::connect(ticker, &QTimer::timeout, [ticker, check, watch] {
    if (watch->done) {
      ticker->stop();
      ticker->deleteLater();
      return;
    }
    auto* modal = qobject_cast<Modal*>(QApplication::activeModalWidget());
    if (!watch->started) {
      if (modal == nullptr) return;  // not yet shown
      watch->seen = modal;
      watch->started = true;
    }
    if (watch->seen.isNull()) {
      watch->done = true;  // it went by itself
    } else if (modal == watch->seen.data() && check(modal)) {
      watch->done = true;
    }
    // Otherwise another modal is on top of ours: the watchdog ends that.
  });
  // A timer of its own: it still fires while check is stuck in a modal
  // that the checked one opened.
  auto* watchdog = new QTimer(qApp);
  watchdog->setSingleShot(true);
  const QPointer<QWidget> before = QApplication::activeModalWidget();  // not ours to close
  QObject::connect(watchdog, &QTimer::timeout, [watchdog, watch, what, limit, before] {
    watchdog->deleteLater();
    if (watch->done) return;
    watch->done = true;
    ADD_FAILURE() << "waited " << limit.count() << " s for " << what;
    for (int i = 0; i < 8; ++i) {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || modal == before.data()) break;
      ADD_FAILURE() << "closing the modal '" << modal->windowTitle().toStdString() << "' left open";
      if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
      else
        modal->close();
    }
  });
  ticker->start();
  watchdog->start(limit);
}

TEST(ErrorBox, IsACriticalBoxCaptionedQuelmarError) {
  ui::MainDialog dialog({});
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  WhileModalShows<QMessageBox>("the error box", [&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    box->accept();
    return true;
  });
  dialog.ErrorBox("Failed create ComPort window");
  EXPECT_EQ(title, "Quelmar Error");
  EXPECT_EQ(text, "Failed create ComPort window");
  EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST(FileChooser, OpensInTheCurrentFolderWhichFollowsTheChosenFile) {
  TempDir dir;
  const QString start = QString::fromStdString(dir.path());
  ASSERT_TRUE(QDir(start).mkpath("images"));
  const QString old = QDir::currentPath();
  QDir::setCurrent(start);
  struct Case {
    image::ImageKind kind;
    QStringList filters;  // the first chosen at the start
  };
  for (const Case& c : {Case{image::ImageKind::kCode,
                             {"CODE files (*.fcode)", "Build output (*.elf *.axf *.hex *.srec)"}},
                        Case{image::ImageKind::kData, {"DATA file (*.fdata)"}}}) {
    QFileDialog dialog;
    ui::QtFileChooser::Configure(dialog, c.kind);
    EXPECT_EQ(dialog.windowTitle(), "Open");
    EXPECT_EQ(dialog.nameFilters(), c.filters);
    EXPECT_EQ(dialog.selectedNameFilter(), c.filters.front());
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog.directory().absolutePath(), start);
  }
  const QString chosen = start + "/images/app.fcode";
  EXPECT_EQ(ui::QtFileChooser::Chosen(chosen), chosen.toStdString());
  EXPECT_EQ(QDir::currentPath(), start + "/images");
  QFileDialog next;
  ui::QtFileChooser::Configure(next, image::ImageKind::kData);
  EXPECT_EQ(next.directory().absolutePath(), start + "/images");
  QDir::setCurrent(old);
}

// The log line a build output of the test firmware packs with.
std::string PackedLine(const std::string& name, image::FileFormat format) {
  const std::vector<uint8_t> hex = FirmwareBytes("app.hex");
  image::CodeBanks banks;
  std::string error;
  EXPECT_TRUE(
      image::ReadBuildOutput(image::FileFormat::kIntelHex, hex.data(), hex.size(), &banks, &error))
      << error;
  return image::PackedLine(name, format, banks);
}

TEST(Drop, AnImageFileDroppedOnTheDialogLoadsLikeItsOpenButton) {
  TempDir dir;
  setenv("QUELMAR_PORT_DIR", dir.path().c_str(), 1);
  const std::vector<uint8_t> bank(512, 0x42);
  const std::string code = dir.File("drop.fcode");
  ASSERT_TRUE(image::WriteFileAtomically(code, image::BuildCodeFile(&bank, nullptr, 'F'), nullptr));
  ui::GuiApp gui;
  ASSERT_TRUE(gui.Start());

  auto drop = [&](const std::string& path) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&gui.Dialog(), &enter);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&gui.Dialog(), &event);
    return enter.isAccepted();
  };
  EXPECT_FALSE(drop(dir.File("notes.txt")));  // not an image: refused at the door
  EXPECT_TRUE(drop(code));
  for (int i = 0; i < 200 && !gui.Window().Images().HasCodeImage(); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  EXPECT_TRUE(gui.Window().Images().HasCodeImage());
  EXPECT_EQ(gui.Dialog().Log()->toPlainText(), "Loading CODE completed !\n");

  // Build output loads as the code file it packs into, whatever case its
  // extension is in.
  struct Built {
    const char* firmware;
    const char* name;
    image::FileFormat format;
  };
  for (const Built& b : {Built{"app.elf", "app.axf", image::FileFormat::kElf},
                         Built{"app.srec", "APP.S19", image::FileFormat::kSrec},
                         Built{"app.hex", "app.hex", image::FileFormat::kIntelHex}}) {
    SCOPED_TRACE(b.name);
    const std::string path = dir.File(b.name);
    const std::vector<uint8_t> bytes = FirmwareBytes(b.firmware);
    ASSERT_TRUE(image::WriteFileAtomically(path, bytes, nullptr));
    gui.Dialog().Log()->clear();
    EXPECT_TRUE(drop(path));
    for (int i = 0; i < 200 && gui.Dialog().Log()->toPlainText().isEmpty(); ++i) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(gui.Dialog().Log()->toPlainText().toStdString(),
              PackedLine(b.name, b.format) + "Loading CODE completed !\n");
    EXPECT_TRUE(gui.Window().Images().CodeImage().present());
    EXPECT_TRUE(gui.Window().Images().ExtendedCodeImage().present());
    EXPECT_EQ(FileBytes(path), bytes) << "the file is never changed";
  }
  EXPECT_FALSE(drop(dir.File("app.o"))) << "no build output by its name";

  // While the Open buttons are locked (an update runs) a drop is refused.
  gui.Dialog().SetControlEnabled(IDC_OPEN_CODE, false);
  EXPECT_FALSE(drop(dir.File("app.elf")));
  gui.Dialog().SetControlEnabled(IDC_OPEN_FLASH, false);
  EXPECT_FALSE(drop(dir.File("data.fdata")));
  gui.CloseProgram();
}

TEST(FileChooser, AnElfChosenUnderBuildOutputReachesTheSimulatedFlash) {
  TempDir dir;
  const std::string port_dir = dir.File("ports");
  ASSERT_EQ(mkdir(port_dir.c_str(), 0700), 0);
  setenv("QUELMAR_PORT_DIR", port_dir.c_str(), 1);
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--com", "102", "--dump-code-a", dir.File("a.dump"), "--dump-code-b",
                         dir.File("b.dump"), "--quiet"},
                        {"QUELMAR_PORT_DIR=" + port_dir}));
  const QString build = QString::fromStdString(dir.File("build"));
  ASSERT_TRUE(QDir().mkpath(build));
  const std::vector<uint8_t> elf = FirmwareBytes("app.elf");
  ASSERT_TRUE(image::WriteFileAtomically(dir.File("build/app.elf"), elf, nullptr));
  const QString old = QDir::currentPath();
  QDir::setCurrent(build);

  ui::GuiApp gui;  // the program's own open-file dialog
  ASSERT_TRUE(gui.Start());
  QComboBox* box = gui.Dialog().PortBox();
  const int index = box->findText("COM 102");
  ASSERT_GT(index, 0);
  box->setCurrentIndex(index);
  emit box->activated(index);
  auto button = [&](int id) { return qobject_cast<QPushButton*>(gui.Dialog().Control(id)); };
  auto wait = [&](const std::string& what, const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred() && std::chrono::steady_clock::now() < deadline) {
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(1);
    }
    if (pred()) return true;
    ADD_FAILURE() << "waited 60 s for " << what;
    return false;
  };
  ASSERT_TRUE(wait("Reboot to be enabled", [&] { return button(IDC_REBOOT)->isEnabled(); }));
  gui.Dialog().Log()->clear();

  // The operator picks the second filter, types the ELF file's name and
  // presses Open once the dialog shows that file as the one chosen.
  QStringList filters;
  QString at_start, listed;
  WhileModalShows<QFileDialog>("the Open dialog to take app.elf", [&](QFileDialog* dialog) {
    if (filters.isEmpty()) {
      filters = dialog->nameFilters();
      at_start = dialog->selectedNameFilter();
    }
    if (dialog->selectedNameFilter() != filters.value(1))
      dialog->selectNameFilter(filters.value(1));
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    if (name == nullptr) {
      ADD_FAILURE() << "the Open dialog has no file name field";
      dialog->reject();
      return true;
    }
    if (name->text() != "app.elf") name->setText("app.elf");
    listed = dialog->selectedFiles().value(0);
    if (listed != build + "/app.elf") return false;  // not yet: the next tick looks again
    static_cast<QDialog*>(dialog)->accept();         // as the Open button does
    return true;
  });
  button(IDC_OPEN_CODE)->click();
  ASSERT_TRUE(wait("Update Code to be enabled", [&] {
    return button(IDC_UPDATE_CODE)->isEnabled();
  })) << gui.Dialog().Log()->toPlainText().toStdString();
  EXPECT_EQ(filters,
            (QStringList{"CODE files (*.fcode)", "Build output (*.elf *.axf *.hex *.srec)"}));
  EXPECT_EQ(at_start, "CODE files (*.fcode)");
  EXPECT_EQ(listed, build + "/app.elf");

  {
    LockWatch lock(button(IDC_OPEN_CODE));
    button(IDC_UPDATE_CODE)->click();
    ASSERT_TRUE(wait("the update to end with Open Code File unlocked", [&] {
      return gui.Dialog().Log()->toPlainText().contains("Write extended CODE... OK.") &&
             button(IDC_OPEN_CODE)->isEnabled();
    }));
    EXPECT_TRUE(lock.WasLocked()) << "Open Code File stayed enabled during the update";
  }
  EXPECT_EQ(gui.Dialog().Log()->toPlainText().toStdString(),
            PackedLine("app.elf", image::FileFormat::kElf) +
                "Loading CODE completed !\n"
                "Erase CODE... OK.\n"
                "Write CODE... OK.\n"
                "Write extended CODE... OK.\n");
  gui.CloseProgram();
  QDir::setCurrent(old);
  ASSERT_EQ(sim.Stop(), 0);
  auto bank = [](std::vector<uint8_t> plain) {
    plain.resize(image::CODE_IMAGE_SIZE, 0xFF);
    return plain;
  };
  EXPECT_TRUE(FileBytes(dir.File("a.dump")) == bank(FirmwareBytes("app_a.bin")));
  EXPECT_TRUE(FileBytes(dir.File("b.dump")) == bank(FirmwareBytes("app_b.bin")));
  EXPECT_TRUE(FileBytes(dir.File("build/app.elf")) == elf) << "the file is never changed";
}

}  // namespace
}  // namespace quelmar::testing
