#include "ui/file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace quelmar::ui {

const char* QtFileChooser::Filter(image::ImageKind kind) {
  return kind == image::ImageKind::kCode ? "CODE files (*.fcode)" : "DATA file (*.fdata)";
}

std::optional<std::string> QtFileChooser::ChooseImageFile(image::ImageKind kind) {
  const QString path =
      QFileDialog::getOpenFileName(owner_, "Open", QDir::currentPath(), Filter(kind));
  if (path.isEmpty()) return std::nullopt;
  QDir::setCurrent(QFileInfo(path).absolutePath());
  return path.toStdString();
}

}  // namespace quelmar::ui
