// The open-file dialog behind the image store's file chooser.
#pragma once

#include <QStringList>

#include "image/image_store.h"

class QFileDialog;
class QString;
class QWidget;

namespace quelmar::ui {

// Titled "Open", starting in the current folder, with the kind's filters:
// code images first (the one chosen at the start), then build output; one
// filter for data images. The chosen file's folder becomes the current
// folder, so the next dialog of either kind starts there.
class QtFileChooser final : public image::FileChooser {
 public:
  explicit QtFileChooser(QWidget* owner = nullptr) : owner_(owner) {}
  void SetOwner(QWidget* owner) { owner_ = owner; }
  std::optional<std::string> ChooseImageFile(image::ImageKind kind) override;

  // The filters the dialog offers for the kind, the first chosen at the start.
  static QStringList Filters(image::ImageKind kind);
  // Sets up the dialog for one kind: title, filter, the current folder.
  static void Configure(QFileDialog& dialog, image::ImageKind kind);
  // What a choice does: its folder becomes the current folder.
  static std::string Chosen(const QString& path);

 private:
  QWidget* owner_;
};

}  // namespace quelmar::ui
