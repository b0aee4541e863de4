#include "ui/form1.h"

#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStringList>

#include "operations/timing.h"
#include "ui/address_entry.h"
#include "ui_form1.h"

namespace karvello {

namespace {

// The window's typeface is SimSun ("宋体"). Where it is not installed, a Song-style face of the
// same look stands in for it, so that the Chinese captions never show as boxes.
QFont SongFont(double points, bool bold) {
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                    QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing"),
                    QStringLiteral("Noto Serif CJK SC")});
  font.setStyleHint(QFont::Serif);
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

constexpr double kBodyPoints = 12.0;
constexpr double kCaptionPoints = 15.75;

}  // namespace

Form1::Form1(SerialControl& comm, const PortMap& ports, QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::Form1>()),
      comm_(comm),
      ports_(ports),
      operations_(comm, *this) {
  ui_->setupUi(this);
  ApplyFonts();
  setFixedSize(size());
  if (const QScreen* shown = screen()) {
    move(shown->availableGeometry().center() - rect().center());
  }

  ui_->Text1->installEventFilter(this);
  connect(ui_->Combo1, &QComboBox::activated, this, [this](int index) { portList_.Select(index); });
  connect(ui_->Command1, &QPushButton::clicked, this, [this] { operations_.Command1_Click(); });
  connect(ui_->Command2, &QPushButton::clicked, this, [this] { operations_.Command2_Click(); });
  connect(ui_->Command3, &QPushButton::clicked, this, [this] { operations_.Command3_Click(); });
  connect(ui_->Command4, &QPushButton::clicked, this, [this] { operations_.Command4_Click(); });
  portList_.SetOnSelected([this] { Combo1_Click(); });
  operations_.SetOnStateChanged([this] { UpdateMeasureProgress(); });

  ui_->Text1->setFocus();
  Form_Load();
}

Form1::~Form1() = default;

std::string Form1::Text1() const {
  return ui_->Text1->text().toStdString();
}

void Form1::SetText1(const std::string& text) {
  ui_->Text1->setText(QString::fromStdString(text));
}

void Form1::SetText2(const std::string& text) {
  text2_ = text;
  // The box starts a new line at every line feed; a carriage return would add an empty one.
  ui_->Text2->setPlainText(QString::fromStdString(text).replace(QStringLiteral("\r\n"), "\n"));
}

void Form1::Form_Load() {
  DiscoverPorts(comm_, ports_, portList_);
}

void Form1::Combo1_Click() {
  MirrorPortList();
  OpenSelectedPort(comm_, portList_);
}

void Form1::Text1_LostFocus() {
  const std::string text = Text1();
  const std::string kept = ApplyAddressEntryRule(text);
  if (kept != text) SetText1(kept);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_->Text1 && event->type() == QEvent::FocusOut) {
    // Focus that goes to another program or to the box's own context menu comes back to the
    // box; only a move to another control of the window ends the entry.
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
      Text1_LostFocus();
    }
  }
  return QWidget::eventFilter(watched, event);
}

void Form1::ApplyFonts() {
  const QFont body = SongFont(kBodyPoints, false);
  const QFont caption = SongFont(kCaptionPoints, true);
  ui_->Text1->setFont(body);
  ui_->Combo1->setFont(body);
  ui_->Text2->setFont(SongFont(kBodyPoints, true));
  for (QWidget* widget : std::initializer_list<QWidget*>{
           ui_->Command1, ui_->Command2, ui_->Command3, ui_->Command4, ui_->Label1, ui_->Label7}) {
    widget->setFont(caption);
  }
  // The labels take the size of their captions.
  ui_->Label1->adjustSize();
  ui_->Label7->adjustSize();
}

void Form1::MirrorPortList() {
  QComboBox& combo = *ui_->Combo1;
  const auto& entries = portList_.Entries();
  if (combo.count() != static_cast<int>(entries.size())) {
    combo.clear();
    for (const auto& entry : entries) {
      combo.addItem(QString::fromStdString(entry.text));
      combo.setItemData(combo.count() - 1, QString::fromStdString(entry.tooltip), Qt::ToolTipRole);
    }
  }
  combo.setCurrentIndex(portList_.SelectedIndex());
  combo.setToolTip(combo.currentData(Qt::ToolTipRole).toString());
}

// Shown while a resistance measurement is waited for: it fills over the measurement wait, then
// shows the read under way until its reply or time-out.
void Form1::UpdateMeasureProgress() {
  QProgressBar& bar = *ui_->MeasureProgress;
  if (operations_.Timer(6).IsOn()) {
    bar.setRange(0, timing::kMeasureDelayLimit + 1);
    bar.setValue(operations_.State().MeasureDelayTicks);
    bar.show();
  } else if (operations_.Timer(3).IsOn()) {
    bar.setRange(0, 0);
    bar.show();
  } else {
    bar.hide();
  }
}

}  // namespace karvello
