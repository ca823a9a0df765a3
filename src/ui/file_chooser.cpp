#include "ui/file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace quelmar::ui {

const char* QtFileChooser::Filter(image::ImageKind kind) {
  return kind == image::ImageKind::kCode ? "CODE files (*.fcode)" : "DATA file (*.fdata)";
}

void QtFileChooser::Configure(QFileDialog& dialog, image::ImageKind kind) {
  dialog.setWindowTitle("Open");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(Filter(kind));
  dialog.setDirectory(QDir::currentPath());
}

std::string QtFileChooser::Chosen(const QString& path) {
  QDir::setCurrent(QFileInfo(path).absolutePath());
  return path.toStdString();
}

std::optional<std::string> QtFileChooser::ChooseImageFile(image::ImageKind kind) {
  QFileDialog dialog(owner_);
  Configure(dialog, kind);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return Chosen(dialog.selectedFiles().front());
}

}  // namespace quelmar::ui
