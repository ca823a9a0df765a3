#include "ui/log_view.h"

#include <QCoreApplication>
#include <QScrollBar>
#include <QTextBlock>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quelmar::ui {
namespace {

// The text with a tag where the colour changes: <k> black, <r> red, <#rrggbb>.
std::string Markup(const QTextDocument& doc) {
  QString out, colour;
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
    if (block != doc.begin()) out += '\n';
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QString name = it.fragment().charFormat().foreground().color().name();
      if (name != colour) {
        colour = name;
        out += name == "#000000" ? "<k>" : name == "#ff0000" ? "<r>" : '<' + name + '>';
      }
      out += it.fragment().text();
    }
  }
  return out.toStdString();
}

TEST(LogViewTest, AppendsPiecesAtTheEndInTheirColours) {
  const struct {
    std::vector<std::pair<int, std::string>> pieces;
    std::string expected;
  } cases[] = {
      {{{0, "Reboot... "}, {0, "OK.\n"}}, "<k>Reboot... OK.\n"},
      {{{0, "a\n"}, {0, "\n"}, {0, "b"}}, "<k>a\n\nb"},
      {{{0, "Writing"}, {1, "\nFailed\n"}, {0, "Next\n"}}, "<k>Writing\n<r>Failed\n<k>Next\n"},
      {{{0, "one\r"}, {0, "\ntwo\rthree\r\n"}}, "<k>one\ntwothree\n"},
      {{{2, "x "}, {-1, "y"}}, "<k>x y"},
      {{{1, "Ошибка: "}, {0, "→ 100%\n"}}, "<r>Ошибка: <k>→ 100%\n"},
  };
  for (const auto& c : cases) {
    LogView view;
    for (const auto& [severity, text] : c.pieces) view.AppendText(severity, text);
    EXPECT_EQ(Markup(*view.document()), c.expected);
  }
}

TEST(LogViewTest, AppendLeavesTheUserSelectionAlone) {
  LogView view;
  view.AppendText(0, "first line\nsecond line\n");
  QTextCursor selection(view.document());
  selection.setPosition(11);
  selection.setPosition(17, QTextCursor::KeepAnchor);
  view.setTextCursor(selection);

  view.AppendText(1, "third\n");

  EXPECT_EQ(view.textCursor().selectedText(), "second");
  EXPECT_EQ(view.textCursor().anchor(), 11);
  EXPECT_EQ(view.toPlainText(), "first line\nsecond line\nthird\n");
}

TEST(LogViewTest, KeepsTheNewestLinesInViewAndDropsTheOldest) {
  LogView view;
  view.resize(200, 80);
  view.show();
  const int lines = LogView::kMaxLines + 10;
  for (int i = 0; i < lines; ++i) view.AppendText(0, "line " + std::to_string(i) + "\n");

  // The last block is the empty one after the final line end.
  const QTextDocument& doc = *view.document();
  EXPECT_EQ(doc.blockCount(), LogView::kMaxLines);
  EXPECT_EQ(doc.firstBlock().text(), "line " + QString::number(lines - LogView::kMaxLines + 1));
  EXPECT_EQ(doc.lastBlock().previous().text(), "line " + QString::number(lines - 1));
  QCoreApplication::processEvents();
  const QScrollBar* bar = view.verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

}  // namespace
}  // namespace quelmar::ui
