// The program's log: read-only text that only ever grows at the end, in
// black for normal lines and red for errors.
#pragma once

#include <QFont>
#include <QPlainTextEdit>

#include <string_view>

namespace quelmar::ui {

class LogView : public QPlainTextEdit {
  Q_OBJECT

 public:
  // Past this many lines the oldest go, so an endless log stays cheap.
  static constexpr int kMaxLines = 20000;

  explicit LogView(QWidget* parent = nullptr);

  // Appends exactly the given UTF-8 text at the very end, red for severity 1
  // and black otherwise, whatever the user has selected; '\r' is dropped.
  // Pieces without a line end join the line that follows them.
  void AppendText(int severity, std::string_view text);
  void FocusLog();

  // The font of the log and the progress strip: sans-serif with Cyrillic.
  static QFont TextFont();
};

}  // namespace quelmar::ui
