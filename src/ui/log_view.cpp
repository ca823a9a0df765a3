#include "ui/log_view.h"

#include <QColor>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextOption>

#include "common/ui_sink.h"

namespace quelmar::ui {

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setMaximumBlockCount(kMaxLines);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // Hex dumps and paths have no spaces; they must still wrap.
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
  // Keyboard selection too, so the focused log can be copied from.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setFont(TextFont());
}

void LogView::AppendText(int severity, std::string_view text) {
  QString piece = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  piece.remove(QLatin1Char('\r'));
  if (piece.isEmpty()) return;

  QTextCharFormat format;
  format.setForeground(severity == kSeverityError ? QColor(0xFF, 0x00, 0x00)
                                                  : QColor(0x00, 0x00, 0x00));
  // A cursor of our own: the user's caret and selection stay where they are.
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  end.insertText(piece, format);

  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->maximum());
}

void LogView::FocusLog() {
  setFocus(Qt::OtherFocusReason);
}

QFont LogView::TextFont() {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

}  // namespace quelmar::ui
