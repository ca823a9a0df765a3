// The modal pieces of the desktop program and the dropped file: the error
// box, the open-file dialog and a file dropped on the window.
#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

#include "common/ids.h"
#include "image/image_writer.h"
#include "process.h"
#include "ui/file_chooser.h"
#include "ui/gui_app.h"
#include "ui/log_view.h"

namespace quelmar::testing {
namespace {

// Runs check on the modal widget on every tick while one shows (a file
// dialog may still be loading its folder and ignore the first accept);
// check ends it so that the caller's modal call returns.
template <class Modal>
void WhileModalShows(std::function<void(Modal*)> check) {
  auto* timer = new QTimer(qApp);  // goes with the application at the latest
  timer->setInterval(10);
  auto first = std::make_shared<QPointer<Modal>>();
  QObject::connect(timer, &QTimer::timeout, [timer, check, first] {
    auto* modal = qobject_cast<Modal*>(QApplication::activeModalWidget());
    if (first->isNull() && modal != nullptr && timer->property("seen").isNull()) {
      *first = modal;
      timer->setProperty("seen", true);
    }
    if (!first->isNull() && modal == first->data()) {
      check(modal);
    } else if (!timer->property("seen").isNull()) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

TEST(ErrorBox, IsACriticalBoxCaptionedQuelmarError) {
  ui::MainDialog dialog({});
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  WhileModalShows<QMessageBox>([&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    box->accept();
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
    const char* filter;
  };
  for (const Case& c : {Case{image::ImageKind::kCode, "CODE files (*.fcode)"},
                        Case{image::ImageKind::kData, "DATA file (*.fdata)"}}) {
    QFileDialog dialog;
    ui::QtFileChooser::Configure(dialog, c.kind);
    EXPECT_EQ(dialog.windowTitle(), "Open");
    EXPECT_EQ(dialog.nameFilters(), QStringList{c.filter});
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

  // While the Open buttons are locked (an update runs) a drop is refused.
  gui.Dialog().SetControlEnabled(IDC_OPEN_FLASH, false);
  EXPECT_FALSE(drop(dir.File("data.fdata")));
  gui.CloseProgram();
}

}  // namespace
}  // namespace quelmar::testing
