#include "ui/main_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "common/ids.h"
#include "image/build_output.h"
#include "ui/log_view.h"
#include "ui/progress_indicator.h"

namespace quelmar::ui {

namespace {

// The step numbers beside the controls they label, in dialog units.
struct StepNumber {
  const char* text;
  int x, y;
};
constexpr StepNumber kSteps[] = {{"1", 9, 20}, {"2", 9, 39},  {"3", 97, 39},
                                 {"4", 9, 58}, {"5", 97, 58}, {"6", 184, 58}};

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

MainDialog::MainDialog(DialogRequests requests, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      requests_(std::move(requests)) {
  setWindowTitle("Tarnivel Quelmar");
  setObjectName("MainDialog");
  setFont(LogView::TextFont());
  setAcceptDrops(true);

  // Dialog units: a quarter of the font's average character width across,
  // an eighth of its height down.
  const QFontMetrics metrics(font());
  const int letters =
      metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  base_x_ = (letters / 26 + 1) / 2;
  base_y_ = metrics.height();
  setFixedSize(UnitsToPixels(0, 0, kWidthUnits, kHeightUnits).size());

  AddLabel("Select COM Port", 20, 6, 70, 11);
  port_box_ = new QComboBox(this);
  port_box_->setObjectName("IDC_COMPORT");
  port_box_->setEditable(false);
  port_box_->setMaxVisibleItems(12);
  const QRect box = UnitsToPixels(20, 18, 70, 14);
  port_box_->setGeometry(box.x(), box.y(), box.width(),
                         std::max(box.height(), port_box_->sizeHint().height()));
  controls_[IDC_COMPORT] = port_box_;
  // Only the operator's own choice acts; entries changed by the refresh
  // never do.
  connect(port_box_, &QComboBox::activated, this, [this](int index) {
    if (requests_.port_chosen) requests_.port_chosen(index);
  });

  AddButton(IDC_OPEN_CODE, "Open Code File", 19, 37, 72, 12);
  AddButton(IDC_UPDATE_CODE, "Update Code", 107, 37, 72, 12)->setEnabled(false);
  AddButton(IDC_OPEN_FLASH, "Open Flash File", 19, 56, 72, 12);
  AddButton(IDC_UPDATE_FLASH, "Update Flash", 107, 56, 72, 12)->setEnabled(false);
  AddButton(IDC_REBOOT, "Reboot", 194, 56, 70, 12)->setEnabled(false);
  AddButton(IDC_EXIT, "Exit", 98, 162, 74, 14);
  for (const StepNumber& step : kSteps) AddLabel(step.text, step.x, step.y, 8, 8);

  progress_ = new ProgressIndicator(this);
  progress_->setObjectName("PROGRESS");
  progress_->setGeometry(UnitsToPixels(7, 76, 257, 12));
  log_ = new LogView(this);
  log_->setObjectName("LOG_VIEW");
  log_->setGeometry(UnitsToPixels(7, 91, 257, 67));
  // The log takes the focus as it grows; Tab must still lead out of it.
  log_->setTabChangesFocus(true);

  // Tab order follows the order of work.
  setTabOrder(port_box_, Control(IDC_OPEN_CODE));
  setTabOrder(Control(IDC_OPEN_CODE), Control(IDC_UPDATE_CODE));
  setTabOrder(Control(IDC_UPDATE_CODE), Control(IDC_OPEN_FLASH));
  setTabOrder(Control(IDC_OPEN_FLASH), Control(IDC_UPDATE_FLASH));
  setTabOrder(Control(IDC_UPDATE_FLASH), Control(IDC_REBOOT));
  setTabOrder(Control(IDC_REBOOT), log_);
  setTabOrder(log_, Control(IDC_EXIT));
}

QRect MainDialog::UnitsToPixels(int x, int y, int width, int height) const {
  const auto across = [this](int units) { return (units * base_x_ + 2) / 4; };
  const auto down = [this](int units) { return (units * base_y_ + 4) / 8; };
  return QRect(across(x), down(y), across(width), down(height));
}

QPushButton* MainDialog::AddButton(int id, const char* text, int x, int y, int w, int h) {
  auto* button = new QPushButton(text, this);
  button->setObjectName(QString("control_%1").arg(id));
  // No default button: Enter is not a dialog key.
  button->setAutoDefault(false);
  button->setDefault(false);
  button->setGeometry(UnitsToPixels(x, y, w, h));
  connect(button, &QPushButton::clicked, this, [this, id] {
    if (requests_.click) requests_.click(id);
  });
  controls_[id] = button;
  return button;
}

QLabel* MainDialog::AddLabel(const QString& text, int x, int y, int w, int h) {
  auto* label = new QLabel(text, this);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label->setGeometry(UnitsToPixels(x, y, w, h));
  return label;
}

QWidget* MainDialog::Control(int control_id) const {
  const auto it = controls_.find(control_id);
  return it == controls_.end() ? nullptr : it->second;
}

void MainDialog::LogText(int severity, std::string_view text) {
  log_->AppendText(severity, text);
}

void MainDialog::ErrorBox(std::string_view text) {
  QMessageBox::critical(nullptr, "Quelmar Error", FromUtf8(text));
}

void MainDialog::ProgressChanged(const ProgressState& state) {
  progress_->SetState(state);
}

void MainDialog::SetControlEnabled(int control_id, bool enabled) {
  // Exit is never touched by the control sets.
  if (control_id == IDC_EXIT) return;
  if (QWidget* control = Control(control_id)) control->setEnabled(enabled);
}

int MainDialog::Count() const {
  return port_box_->count();
}

int MainDialog::CurrentIndex() const {
  return port_box_->currentIndex();
}

void MainDialog::SetCurrentIndex(int index) {
  port_box_->setCurrentIndex(index);
}

void MainDialog::SetEntry(int index, const std::string& text, const std::string& tool_tip) {
  const QString label = QString::fromStdString(text);
  const QString tip = QString::fromStdString(tool_tip);
  if (index >= port_box_->count()) {
    port_box_->addItem(label);
    port_box_->setItemData(port_box_->count() - 1, tip, Qt::ToolTipRole);
    return;
  }
  // Twice a second for every entry: only real changes repaint.
  if (port_box_->itemText(index) != label) port_box_->setItemText(index, label);
  if (port_box_->itemData(index, Qt::ToolTipRole).toString() != tip) {
    port_box_->setItemData(index, tip, Qt::ToolTipRole);
  }
}

void MainDialog::TruncateTo(int count) {
  while (port_box_->count() > count) port_box_->removeItem(port_box_->count() - 1);
}

void MainDialog::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  // The window manager's close is the Exit button.
  event->ignore();
  if (requests_.close) requests_.close();
}

QString MainDialog::DroppedImage(const QMimeData* mime, bool* code) const {
  if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) return {};
  const QUrl url = mime->urls().front();
  if (!url.isLocalFile()) return {};
  const QString path = url.toLocalFile();
  // Told by the name, as the Open dialogs' filters do: build output
  // loads as a code file would (and is then told by its content).
  const image::FileFormat format = image::FormatByName(path.toStdString());
  if (format != image::FileFormat::kCodeImage && format != image::FileFormat::kDataImage &&
      !image::IsBuildOutput(format))
    return {};
  *code = format != image::FileFormat::kDataImage;
  // As the matching Open button would: not while it is locked.
  const QWidget* button = Control(*code ? IDC_OPEN_CODE : IDC_OPEN_FLASH);
  return button != nullptr && button->isEnabled() ? path : QString();
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
  bool code = false;
  if (!DroppedImage(event->mimeData(), &code).isEmpty()) event->acceptProposedAction();
}

void MainDialog::dropEvent(QDropEvent* event) {
  bool code = false;
  const QString path = DroppedImage(event->mimeData(), &code);
  if (path.isEmpty()) return;
  event->acceptProposedAction();
  if (requests_.file_dropped) requests_.file_dropped(code, path.toStdString());
}

}  // namespace quelmar::ui
