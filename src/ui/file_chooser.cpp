#include "ui/file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace quelmar::ui {

QStringList QtFileChooser::Filters(image::ImageKind kind) {
  if (kind == image::ImageKind::kCode)
    return {"CODE files (*.fcode)", "Build output (*.elf *.axf *.hex *.srec)"};
  return {"DATA file (*.fdata)"};
}

void QtFileChooser::Configure(QFileDialog& dialog, image::ImageKind kind) {
  dialog.setWindowTitle("Open");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = Filters(kind);
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.front());
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
