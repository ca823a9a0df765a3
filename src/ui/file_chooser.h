// The open-file dialog behind the image store's file chooser.
#pragma once

#include "image/image_store.h"

class QFileDialog;
class QString;
class QWidget;

namespace quelmar::ui {

// Titled "Open", one filter per kind, starting in the current folder; the
// chosen file's folder becomes the current folder, so the next dialog of
// either kind starts there.
class QtFileChooser final : public image::FileChooser {
 public:
  explicit QtFileChooser(QWidget* owner = nullptr) : owner_(owner) {}
  void SetOwner(QWidget* owner) { owner_ = owner; }
  std::optional<std::string> ChooseImageFile(image::ImageKind kind) override;

  // The filter the dialog offers for the kind.
  static const char* Filter(image::ImageKind kind);
  // Sets up the dialog for one kind: title, filter, the current folder.
  static void Configure(QFileDialog& dialog, image::ImageKind kind);
  // What a choice does: its folder becomes the current folder.
  static std::string Chosen(const QString& path);

 private:
  QWidget* owner_;
};

}  // namespace quelmar::ui
