#include "ui/progress_indicator.h"

#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

namespace quelmar::ui {
namespace {

ProgressState Make(uint32_t position, uint32_t maximum, std::string caption = {}) {
  return {position, maximum, 1, std::move(caption)};
}

TEST(ProgressIndicatorTest, BarWidthAndText) {
  const struct {
    ProgressState state;
    int bar;  // in 400 pixels
    const char* text;
  } cases[] = {
      {Make(50, 100), 200, "50.0%"},  {Make(1, 3), 133, "33.3%"},
      {Make(2, 3), 266, "66.7%"},     {Make(0, 3), 0, "0.0%"},
      {Make(6, 3), 800, "200.0%"},    {Make(1, 3, "Waiting..."), 133, "Waiting..."},
      {Make(1, 2, ""), 200, "50.0%"}, {Make(5, 0), 0, "0.0%"},
      {Make(97, 97), 399, "100.0%"},  // division first: 400/97*97 is just under 400
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressIndicator::BarWidth(400, c.state), c.bar) << c.text;
    EXPECT_EQ(ProgressIndicator::Text(c.state), c.text);
  }
}

TEST(ProgressIndicatorTest, PaintsBarAndTextOnlyWhenTheBarHasWidth) {
  const QRgb button = qRgb(0xC0, 0xC0, 0xC0), bar = qRgb(0, 0x80, 0), ink = qRgb(0, 0, 0xFF);
  ProgressIndicator strip;
  QPalette pal = strip.palette();
  pal.setColor(QPalette::Button, QColor(button));
  pal.setColor(QPalette::Highlight, QColor(bar));
  pal.setColor(QPalette::WindowText, QColor(ink));
  strip.setPalette(pal);
  QFont font = strip.font();
  font.setStyleStrategy(QFont::NoAntialias);  // glyph pixels exactly in the text colour
  strip.setFont(font);
  strip.resize(400 + 2 * strip.frameWidth(), 20 + 2 * strip.frameWidth());
  const QRect client = strip.contentsRect();
  ASSERT_EQ(client.width(), 400);

  const struct {
    ProgressState state;
    int bar;
    bool text;
  } cases[] = {
      {Make(1, 3), 133, true}, {Make(2, 3), 266, true},
      {Make(5, 3), 400, true}, {Make(1, 3, "Waiting..."), 133, true},
      {Make(0, 3), 0, false},  {Make(0, 3, "Waiting..."), 0, false},
      {Make(7, 0), 0, false},
  };
  for (const auto& c : cases) {
    strip.SetState(c.state);
    const QImage image = strip.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int bar_pixels = 0, ink_pixels = 0;  // bar: in the row above the glyphs
    for (int y = client.top(); y <= client.bottom(); ++y) {
      for (int x = client.left(); x <= client.right(); ++x) {
        bar_pixels += y == client.top() + 1 && image.pixel(x, y) == bar;
        ink_pixels += image.pixel(x, y) == ink;
      }
    }
    EXPECT_EQ(bar_pixels, c.bar) << c.state.position << "/" << c.state.maximum;
    EXPECT_EQ(ink_pixels > 0, c.text) << c.state.position << "/" << c.state.maximum;
  }
}

}  // namespace
}  // namespace quelmar::ui
