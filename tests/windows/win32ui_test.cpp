// quelmar.exe's view where it holds logic of its own: the log's append
// steps read back from the rich-edit control, the progress control's bar
// widths, texts and painting, the COM drop-down's in-place update, and the
// dialog template. Needs a display (Wine on X); without one the cases skip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ids.h"
// Before <windows.h>, whose macros reuse names of the port headers.
#include "win32ui/port_combo.h"

#include "win32ui/file_chooser.h"
#include "win32ui/log_view.h"
#include "win32ui/progress_control.h"

#include <richedit.h>

namespace quelmar::win32ui {
namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// One plain top-level window holds the controls of every case; it lives
// for the whole run (Wine takes seconds to take a shown window down when
// no window manager runs).
HWND SharedParent() {
  static const HWND parent =
      CreateWindowExA(0, "STATIC", "win32ui test", WS_POPUP | WS_VISIBLE, 0, 0, 600, 400, nullptr,
                      nullptr, GetModuleHandleA(nullptr), nullptr);
  return parent;
}

class Win32Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = SharedParent();
    if (parent_ == nullptr) GTEST_SKIP() << "no window system (no display)";
  }
  void TearDown() override {
    // The controls a case made go with it.
    while (HWND child = GetWindow(parent_, GW_CHILD)) DestroyWindow(child);
  }
  static void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  HWND parent_ = nullptr;
};

// --- log view --------------------------------------------------------------

class LogViewTest : public Win32Fixture {
 protected:
  void SetUp() override {
    Win32Fixture::SetUp();
    if (parent_ == nullptr) return;
    view_ = CreateLogView(RECT{0, 0, 500, 300}, parent_);
    ASSERT_NE(view_, nullptr);
  }
  std::string Text() const {
    const int n = GetWindowTextLengthA(view_);
    std::string text(static_cast<size_t>(n) + 1, '\0');
    GetWindowTextA(view_, text.data(), n + 1);
    text.resize(static_cast<size_t>(n));
    return text;
  }
  int Lines() const { return static_cast<int>(SendMessageA(view_, EM_GETLINECOUNT, 0, 0)); }
  // The colour of the text's first occurrence of piece; -1 when the
  // piece is missing or not of one colour.
  long ColourOf(const std::string& piece) const {
    const size_t at = Text().find(piece);
    if (at == std::string::npos) return -1;
    SendMessageA(view_, EM_SETSEL, at, static_cast<LPARAM>(at + piece.size()));
    CHARFORMAT2A format{};
    format.cbSize = sizeof format;
    SendMessageA(view_, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    if ((format.dwMask & CFM_COLOR) == 0) return -1;
    return static_cast<long>(format.crTextColor);
  }
  HWND view_ = nullptr;
};

struct Piece {
  int severity;
  const char* text;
};
struct Coloured {
  const char* text;
  COLORREF colour;
};
struct AppendCase {
  const char* name;
  std::vector<Piece> pieces;
  const char* shown;  // the control's whole text afterwards
  int new_lines;      // EM_GETLINECOUNT afterwards minus before
  std::vector<Coloured> colours;
};

TEST_F(LogViewTest, AppendsEachPieceAtTheEndInItsColour) {
  const AppendCase cases[] = {
      {"one line", {{0, "Opened COM3\n"}}, "Opened COM3\r\n", 1, {{"Opened COM3", kBlack}}},
      {"a step and its outcome share a line",
       {{0, "Reboot... "}, {0, "OK.\n"}},
       "Reboot... OK.\r\n",
       1,
       {{"Reboot... OK.", kBlack}}},
      {"an error ends the black line and shows red on the next",
       {{0, "Erase CODE... "}, {1, "\nInvalid response format.\n"}, {0, "Next\n"}},
       "Erase CODE... \r\nInvalid response format.\r\nNext\r\n",
       3,
       {{"Erase CODE... ", kBlack}, {"Invalid response format.", kRed}, {"Next", kBlack}}},
      {"a line feed alone adds an empty line", {{0, "\n"}}, "\r\n", 1, {}},
      {"severities other than 1 are black",
       {{2, "two "}, {-1, "minus\n"}},
       "two minus\r\n",
       1,
       {{"two minus", kBlack}}},
      {"red and black within one line",
       {{1, "Failed wait BUSY flag... "}, {0, "OK.\n"}},
       "Failed wait BUSY flag... OK.\r\n",
       1,
       {{"Failed wait BUSY flag... ", kRed}, {"OK.", kBlack}}},
  };
  for (const AppendCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetWindowTextA(view_, "");
    const int before = Lines();
    for (const Piece& p : c.pieces) AppendLogText(view_, p.severity, p.text);
    EXPECT_EQ(Text(), c.shown);
    EXPECT_EQ(Lines() - before, c.new_lines);
    for (const Coloured& expect : c.colours) {
      EXPECT_EQ(ColourOf(expect.text), static_cast<long>(expect.colour)) << expect.text;
    }
  }
}

TEST_F(LogViewTest, ScrollsSoThatTheLastLineShows) {
  // Far more lines than the view shows.
  for (int i = 0; i < 60; ++i) AppendLogText(view_, 0, "line\n");
  const auto first = static_cast<int>(SendMessageA(view_, EM_GETFIRSTVISIBLELINE, 0, 0));
  EXPECT_GT(first, 30);
}

TEST_F(LogViewTest, KeepsOnlyTheNewestLines) {
  for (int i = 0; i < 30; ++i) {
    AppendLogText(view_, i % 2, "line " + std::to_string(i) + "\n", 10);
  }
  // Ten lines: "line 21" to "line 29" and the empty line after the last.
  EXPECT_EQ(Lines(), 10);
  EXPECT_EQ(Text().rfind("line 21\r\n", 0), 0u) << Text();
  EXPECT_NE(Text().find("line 29\r\n"), std::string::npos);
  // Colours stay with their lines after the cut.
  EXPECT_EQ(ColourOf("line 21"), static_cast<long>(kRed));
  EXPECT_EQ(ColourOf("line 22"), static_cast<long>(kBlack));
  // And the next piece still lands at the end.
  AppendLogText(view_, 0, "last", 10);
  EXPECT_EQ(Text().substr(Text().size() - 4), "last");
}

// --- progress control ------------------------------------------------------

ProgressState State(uint32_t position, uint32_t maximum, const char* caption = "") {
  ProgressState s;
  s.position = position;
  s.maximum = maximum;
  s.caption = caption;
  return s;
}

TEST(ProgressBarWidthTest, DividesFirstAndCutsTowardZero) {
  struct Case {
    int width;
    uint32_t position, maximum;
    int bar;
  };
  const Case cases[] = {
      {400, 1, 3, 133},     {400, 2, 3, 266},  {400, 3, 3, 400}, {400, 50, 100, 200},
      {400, 0, 100, 0},     {400, 5, 0, 0},    {1, 1, 3, 0},     {400, 20, 10, 800},
      {7, 1, 7, 1},         {100, 1, 1000, 0}, {1000, 1, 1000, 1},
      // Far past the maximum: kept within an int.
      {400, 0xFFFFFFFFu, 1, 2147483647},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressBarWidth(c.width, State(c.position, c.maximum)), c.bar)
        << c.width << " " << c.position << "/" << c.maximum;
  }
}

TEST(ProgressTextTest, CaptionOrPercentWithOneDecimal) {
  struct Case {
    ProgressState state;
    const char* text;
  };
  const Case cases[] = {
      {State(1, 3), "33.3%"},          {State(2, 3), "66.7%"},
      {State(50, 100), "50.0%"},       {State(3, 3), "100.0%"},
      {State(0, 0), "0.0%"},           {State(1, 1000), "0.1%"},
      {State(5, 10, "Waiting..."), "Waiting..."},
  };
  for (const Case& c : cases) EXPECT_EQ(ProgressText(c.state), c.text);
}

class ProgressControlTest : public Win32Fixture {
 protected:
  void SetUp() override {
    Win32Fixture::SetUp();
    if (parent_ == nullptr) return;
    control_ = CreateProgressControl(RECT{10, 10, 412, 32}, parent_);
    ASSERT_NE(control_, nullptr);
    RECT client;
    GetClientRect(control_, &client);
    width_ = client.right;
    height_ = client.bottom;
  }
  // Pixels of the highlight colour from the left edge along the top row
  // (glyphs are centred, away from it).
  int PaintedBar() const {
    HDC dc = GetDC(control_);
    const COLORREF highlight = GetNearestColor(dc, GetSysColor(COLOR_HIGHLIGHT));
    int x = 0;
    while (x < width_ && GetPixel(dc, x, 1) == highlight) ++x;
    ReleaseDC(control_, dc);
    return x;
  }
  // Whether every pixel is the button face: no bar, no text.
  bool PlainStrip() const {
    HDC dc = GetDC(control_);
    const COLORREF face = GetNearestColor(dc, GetSysColor(COLOR_BTNFACE));
    bool plain = true;
    for (int y = 0; y < height_ && plain; ++y) {
      for (int x = 0; x < width_ && plain; ++x) plain = GetPixel(dc, x, y) == face;
    }
    ReleaseDC(control_, dc);
    return plain;
  }
  // Whether some pixel in the middle row has the text colour.
  bool TextInMiddle() const {
    HDC dc = GetDC(control_);
    const COLORREF ink = GetNearestColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    bool found = false;
    for (int y = 0; y < height_ && !found; ++y) {
      for (int x = width_ / 4; x < 3 * width_ / 4 && !found; ++x) found = GetPixel(dc, x, y) == ink;
    }
    ReleaseDC(control_, dc);
    return found;
  }
  HWND control_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

TEST_F(ProgressControlTest, PaintsTheBarItsWidthSays) {
  ASSERT_EQ(width_, 400);  // 402 wide less the static edge
  struct Case {
    ProgressState state;
    int bar;
  };
  const Case cases[] = {
      {State(1, 3), 133},   {State(2, 3), 266},   {State(50, 100), 200},
      {State(3, 3), 400},   {State(20, 10), 400},  // wider than the control: clipped
      {State(1, 1000), 0},
  };
  for (const Case& c : cases) {
    ShowProgress(control_, c.state);
    EXPECT_EQ(PaintedBar(), c.bar) << ProgressText(c.state);
    EXPECT_EQ(ShownProgress(control_), c.state);
  }
}

TEST_F(ProgressControlTest, ShowsTextOnlyOverABar) {
  ShowProgress(control_, State(0, 100, "Waiting..."));
  EXPECT_TRUE(PlainStrip());
  ShowProgress(control_, State(5, 0));
  EXPECT_TRUE(PlainStrip());
  ShowProgress(control_, State(1, 100, "Waiting..."));
  EXPECT_FALSE(PlainStrip());
  EXPECT_TRUE(TextInMiddle());
  ShowProgress(control_, State(0, 100));
  EXPECT_TRUE(PlainStrip());
}

TEST_F(ProgressControlTest, RepaintsWholeOnWmPaint) {
  ShowProgress(control_, State(1, 2));
  // Scribbled over: a repaint alone must bring strip and bar back.
  HDC dc = GetDC(control_);
  RECT all{0, 0, width_, height_};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  ReleaseDC(control_, dc);
  EXPECT_EQ(PaintedBar(), 0);
  InvalidateRect(control_, nullptr, FALSE);
  UpdateWindow(control_);
  EXPECT_EQ(PaintedBar(), 200);
  ShowProgress(control_, State(0, 2));
  EXPECT_TRUE(PlainStrip());
}

// --- COM drop-down ---------------------------------------------------------

class PortComboTest : public Win32Fixture {
 protected:
  void SetUp() override {
    Win32Fixture::SetUp();
    if (parent_ == nullptr) return;
    box_ = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 0, 0, 100,
                           200, parent_, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(box_, nullptr);
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    for (int i = 0; i < combo_.Count(); ++i) entries.push_back(combo_.Text(i));
    return entries;
  }
  HWND box_ = nullptr;
  PortCombo combo_{[this] { return box_; }};
};

TEST_F(PortComboTest, UpdatesEntriesInPlaceKeepingTheSelection) {
  using Texts = std::vector<std::string>;
  struct Step {
    const char* name;
    Texts want;   // the entries to set
    int select;     // selection before (-2: leave it)
    int selected;   // selection after
  };
  const Step steps[] = {
      {"fill", {"----", "COM 3", "COM 7"}, -2, -1},
      {"select the last", {"----", "COM 3", "COM 7"}, 2, 2},
      {"the selected entry's port changes", {"----", "COM 3", "COM 8"}, -2, 2},
      {"an entry is added", {"----", "COM 3", "COM 8", "COM 9"}, -2, 2},
      {"an earlier entry changes", {"----", "COM 4", "COM 8", "COM 9"}, -2, 2},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.select != -2) combo_.SetCurrentIndex(s.select);
    for (size_t i = 0; i < s.want.size(); ++i) combo_.SetEntry(static_cast<int>(i), s.want[i], "");
    EXPECT_EQ(Entries(), s.want);
    EXPECT_EQ(combo_.CurrentIndex(), s.selected);
  }
  combo_.TruncateTo(2);
  EXPECT_EQ(Entries(), (Texts{"----", "COM 4"}));
  combo_.TruncateTo(0);
  EXPECT_EQ(combo_.Count(), 0);
  EXPECT_EQ(combo_.CurrentIndex(), -1);
}

// --- open-file dialog ------------------------------------------------------

TEST(FileChooserTest, SetsUpTheOpenDialogPerKind) {
  const std::string deep(300, 'd');
  struct Case {
    image::ImageKind kind;
    std::string directory;
    const char* file;             // the name field
    const char* initial;          // the starting directory; null: the system's
    std::vector<std::string> filter;
  };
  // Code images first (chosen at the start), then build output.
  const std::vector<std::string> code_filter = {"CODE files (*.fcode)", "*.fcode",
                                                "Build output (*.elf *.axf *.hex *.srec)",
                                                "*.elf;*.axf;*.hex;*.srec"};
  const Case cases[] = {
      {image::ImageKind::kCode, "C:\\work", "C:\\work\\*.fcode", "C:\\work", code_filter},
      {image::ImageKind::kData, "Z:\\tmp\\x", "Z:\\tmp\\x\\*.fdata", "Z:\\tmp\\x",
       {"DATA file (*.fdata)", "*.fdata"}},
      // Too long for the 260-byte buffers: the bare pattern.
      {image::ImageKind::kCode, "C:\\" + deep, "*.fcode", nullptr, code_filter},
  };
  // A directory that fits, though not with the pattern: it starts there.
  const std::string long_dir = "C:\\" + std::string(250, 'e');
  const Case more[] = {
      {image::ImageKind::kData, long_dir, "*.fdata", long_dir.c_str(),
       {"DATA file (*.fdata)", "*.fdata"}},
  };
  Win32FileChooser chooser(reinterpret_cast<HWND>(0x1234));
  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.insert(all.end(), std::begin(more), std::end(more));
  for (const Case& c : all) {
    SCOPED_TRACE(c.file);
    const OPENFILENAMEA& ofn = chooser.Prepare(c.kind, c.directory);
    EXPECT_EQ(ofn.lStructSize, sizeof(OPENFILENAMEA));
    EXPECT_EQ(ofn.hwndOwner, reinterpret_cast<HWND>(0x1234));
    EXPECT_STREQ(ofn.lpstrFile, c.file);
    EXPECT_EQ(ofn.nMaxFile, 260u);
    EXPECT_EQ(ofn.nMaxFileTitle, 8192u);
    if (c.initial == nullptr) {
      EXPECT_EQ(ofn.lpstrInitialDir, nullptr);
    } else {
      EXPECT_STREQ(ofn.lpstrInitialDir, c.initial);
    }
    EXPECT_STREQ(ofn.lpstrTitle, "Open");
    EXPECT_EQ(ofn.Flags, 0x20C1800u);
    EXPECT_EQ(ofn.nFilterIndex, 1u);
    std::vector<std::string> filter;
    for (const char* f = ofn.lpstrFilter; *f != '\0'; f += std::strlen(f) + 1) filter.push_back(f);
    EXPECT_EQ(filter, c.filter);
  }
}

// --- dialog template 103 ---------------------------------------------------

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST_F(Win32Fixture, DialogTemplateHasTheControlsAndLayout) {
  HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(103), parent_,
                                   PlainDialogProc, 0);
  ASSERT_NE(dialog, nullptr);
  char text[128] = {};
  GetWindowTextA(dialog, text, sizeof text);
  EXPECT_STREQ(text, "Tarnivel Quelmar");
  const LONG style = GetWindowLongA(dialog, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_EQ(style & WS_SYSMENU, 0) << "no close box";
  EXPECT_EQ(style & WS_VISIBLE, 0) << "hidden until shown";

  // Client area and positions in dialog units.
  RECT units{0, 0, 271, 183};
  MapDialogRect(dialog, &units);
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_EQ(client.right, units.right);
  EXPECT_EQ(client.bottom, units.bottom);

  struct Control {
    int id;
    const char* cls;
    const char* text;
    RECT at;  // x, y, width, height in dialog units
    bool enabled;
  };
  const Control controls[] = {
      {IDC_COMPORT, "ComboBox", "", {20, 18, 70, 0}, true},
      {IDC_OPEN_CODE, "Button", "Open Code File", {19, 37, 72, 12}, true},
      {IDC_UPDATE_CODE, "Button", "Update Code", {107, 37, 72, 12}, false},
      {IDC_OPEN_FLASH, "Button", "Open Flash File", {19, 56, 72, 12}, true},
      {IDC_UPDATE_FLASH, "Button", "Update Flash", {107, 56, 72, 12}, false},
      {IDC_REBOOT, "Button", "Reboot", {194, 56, 70, 12}, false},
      {IDC_PROGRESS, "msctls_progress32", "Progress1", {7, 76, 257, 12}, true},
      {IDC_LOG_VIEW, "Edit", "", {7, 91, 257, 67}, true},
      {IDC_EXIT, "Button", "Exit", {98, 162, 74, 14}, true},
  };
  for (const Control& c : controls) {
    SCOPED_TRACE(c.text);
    HWND control = GetDlgItem(dialog, c.id);
    ASSERT_NE(control, nullptr) << c.id;
    char name[64] = {};
    GetClassNameA(control, name, sizeof name);
    EXPECT_STRCASEEQ(name, c.cls);
    if (c.id != IDC_COMPORT && c.id != IDC_LOG_VIEW) {
      GetWindowTextA(control, text, sizeof text);
      EXPECT_STREQ(text, c.text);
    }
    EXPECT_EQ(IsWindowEnabled(control) != 0, c.enabled);
    // Position and size are mapped each on its own, as the dialog does.
    RECT want = c.at;
    MapDialogRect(dialog, &want);
    want.right += want.left;
    want.bottom += want.top;
    RECT got;
    GetControlRect(dialog, control, &got);
    EXPECT_EQ(got.left, want.left);
    EXPECT_EQ(got.top, want.top);
    EXPECT_EQ(got.right, want.right);
    if (c.id != IDC_COMPORT) {
      EXPECT_EQ(got.bottom, want.bottom);
    }
  }
  // The six step numbers and the drop-down's label.
  std::vector<std::string> labels;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) != -1 && GetDlgCtrlID(child) != 0xFFFF) continue;
    GetWindowTextA(child, text, sizeof text);
    labels.push_back(text);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"Select COM Port", "1", "2", "3", "4", "5", "6"}));
  DestroyWindow(dialog);
}

}  // namespace
}  // namespace quelmar::win32ui
