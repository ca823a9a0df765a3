// The main dialog: the one window the operator works with. It lays out the
// controls in dialog units scaled by its font, turns clicks, the port choice
// and dropped files into requests for the main window, and shows what the
// core reports (log, progress, control states) on the UI thread.
#pragma once

#include <QWidget>
#include <functional>
#include <map>
#include <string>

#include "app/port_drop_down.h"
#include "common/ui_sink.h"

class QComboBox;
class QLabel;
class QMimeData;
class QPushButton;

namespace quelmar::ui {

class LogView;
class ProgressIndicator;

// What the dialog hands over: clicks by control id, the chosen drop-down
// entry, dropped image files, the window manager's close.
struct DialogRequests {
  std::function<void(int control_id)> click;
  std::function<void(int index)> port_chosen;
  std::function<void(bool code, const std::string& path)> file_dropped;
  std::function<void()> close;
};

class MainDialog final : public QWidget, public UiSink, public app::PortDropDown {
  Q_OBJECT

 public:
  static constexpr int kWidthUnits = 271;
  static constexpr int kHeightUnits = 183;

  explicit MainDialog(DialogRequests requests, QWidget* parent = nullptr);

  // Dialog units to pixels for this dialog's font.
  QRect UnitsToPixels(int x, int y, int width, int height) const;

  // UiSink, UI thread only (the UI queue brings other threads' calls here).
  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState& state) override;
  void SetControlEnabled(int control_id, bool enabled) override;

  // PortDropDown over the COM drop-down.
  int Count() const override;
  int CurrentIndex() const override;
  void SetCurrentIndex(int index) override;
  void SetEntry(int index, const std::string& text, const std::string& tool_tip) override;
  void TruncateTo(int count) override;

  // The control with this id (IDC_*), or null.
  QWidget* Control(int control_id) const;
  QComboBox* PortBox() const { return port_box_; }
  LogView* Log() const { return log_; }
  ProgressIndicator* ProgressBar() const { return progress_; }
  // Lets the next close through (the program is ending).
  void AllowClose() { closing_ = true; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QPushButton* AddButton(int id, const char* text, int x, int y, int w, int h);
  QLabel* AddLabel(const QString& text, int x, int y, int w, int h);
  // The image file a drag carries (".fcode" or ".fdata"), or empty.
  QString DroppedImage(const QMimeData* mime, bool* code) const;

  DialogRequests requests_;
  int base_x_ = 0;  // average character width of the dialog font
  int base_y_ = 0;  // its height
  QComboBox* port_box_ = nullptr;
  LogView* log_ = nullptr;
  ProgressIndicator* progress_ = nullptr;
  std::map<int, QWidget*> controls_;
  bool closing_ = false;
};

}  // namespace quelmar::ui
