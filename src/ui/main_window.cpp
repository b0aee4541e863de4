#include "ui/main_window.h"

#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QFocusEvent>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTextDocument>

#include "engine/address_box.h"
#include "record/record.h"
#include "ui/application.h"
#include "ui/log_texts.h"
#include "ui/record_warning.h"
#include "ui/song_font.h"
#include "ui_main_window.h"

namespace karvello {

namespace {

constexpr double kBodyPoints = 12.0;
constexpr double kCaptionPoints = 15.75;

}  // namespace

MainWindow::MainWindow(SerialLine& line, PortMap& ports, QWidget* parent)
    : MainWindow(line, ports, nullptr, parent) {}

MainWindow::MainWindow(SerialLine& line, PortMap& ports, PortProbe& probe, QWidget* parent)
    : MainWindow(line, ports, &probe, parent) {}

MainWindow::MainWindow(SerialLine& line, PortMap& ports, PortProbe* probe, QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::MainWindow>()),
      serialLine_(line),
      line_(line, ports, probe),
      engine_(line),
      presenter_(engine_, *this) {
  ui_->setupUi(this);
  line_.SetBox(*ui_->portList);
  setWindowIcon(ApplicationIcon());
  ApplyFonts();
  setFixedSize(size());
  if (const QScreen* shown = screen()) {
    move(shown->availableGeometry().center() - rect().center());
  }

  ui_->addressBox->installEventFilter(this);
  for (QPushButton* button : Buttons()) button->installEventFilter(this);
  connect(ui_->portList, &QComboBox::activated, this,
          [this](int index) { line_.List().Select(index); });
  connect(ui_->portList, &PortListBox::aboutToShowPopup, this, &MainWindow::RefreshPorts);
  const std::array<QPushButton*, 4> buttons = Buttons();
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    connect(buttons[i], &QPushButton::clicked, this,
            [this, operation = kOperations[i]] { presenter_.Press(operation); });
  }
  line_.List().SetOnSelected([this] { OnPortChosen(); });
  presenter_.SetOnProgress([this](const Progress&) { UpdateMeasureProgress(); });
  presenter_.SetOnOutcome([this](const Outcome& outcome) {
    UpdateMeasureProgress();
    // A broadcast the line cannot carry: the failure says why.
    if (outcome.result == Result::kNotSent && SendsBroadcast(outcome.operation) &&
        !serialLine_.CarriesBroadcasts()) {
      SetLogText(log_ + std::string(text::kLineEnd) + std::string(text::kNoBroadcastOverModbusTcp));
    }
    line_.Keep(outcome);
  });

  ui_->addressBox->setFocus();
  ListPorts();
}

MainWindow::~MainWindow() = default;

std::string MainWindow::AddressText() const {
  return ui_->addressBox->text().toStdString();
}

void MainWindow::SetAddressText(const std::string& text) {
  ui_->addressBox->setText(QString::fromStdString(text));
}

QString MainWindow::Captions() const {
  QString text = ui_->portLabel->text() + ui_->addressLabel->text();
  for (const QPushButton* button : Buttons()) text += button->text();
  return text;
}

void MainWindow::SetLogText(const std::string& text) {
  log_ = text;
  // The box starts a new line at every line feed; a carriage return would add an empty one.
  // The text goes to the box's document directly: the box is read only, so the editing state
  // that QPlainTextEdit::setPlainText resets (cursor, undo history) is never there, and setting
  // the document alone takes half the time.
  ui_->logBox->document()->setPlainText(
      QString::fromStdString(text).replace(QStringLiteral("\r\n"), "\n"));
}

void MainWindow::ListPorts() {
  line_.ListPorts();
}

void MainWindow::OpenGiven(const LineAddress& address) {
  line_.List().SetGiven(address);
  ListPorts();
}

void MainWindow::RefreshPorts() {
  line_.RefreshPorts();
}

void MainWindow::OnPortChosen() {
  line_.OpenSelected();
}

void MainWindow::SetRecord(Record* record) {
  line_.SetRecord(record, [this](const Record::Notice& notice) {
    ShowRecordNotice(this, ui_->logBox, notice);
  });
}

void MainWindow::OnAddressBoxLeft() {
  const std::string text = AddressText();
  const std::string kept = ApplyAddressEntryRule(text);
  if (kept != text) SetAddressText(kept);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    // Return and Enter press the focused button, as Space does; held down, they press it once.
    const auto* key = static_cast<QKeyEvent*>(event);
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button != nullptr && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      if (!key->isAutoRepeat()) button->click();
      return true;
    }
  }
  if (watched == ui_->addressBox && event->type() == QEvent::FocusOut) {
    // Focus that goes to another program or to the box's own context menu comes back to the
    // box; only a move to another control of the window ends the entry.
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
      OnAddressBoxLeft();
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::ApplyFonts() {
  const QFont body = SongFont(kBodyPoints, false);
  const QFont caption = SongFont(kCaptionPoints, true);
  ui_->addressBox->setFont(body);
  ui_->portList->setFont(body);
  ui_->logBox->setFont(SongFont(kBodyPoints, true));
  for (QWidget* widget : std::initializer_list<QWidget*>{
           ui_->setAddressButton, ui_->queryAddressButton, ui_->queryResistanceButton,
           ui_->queryVoltageButton, ui_->addressLabel, ui_->portLabel}) {
    widget->setFont(caption);
  }
  // The labels take the size of their captions.
  ui_->addressLabel->adjustSize();
  ui_->portLabel->adjustSize();
}

// In the order of kOperations, the bench's operations.
std::array<QPushButton*, 4> MainWindow::Buttons() const {
  return {ui_->setAddressButton, ui_->queryAddressButton, ui_->queryResistanceButton,
          ui_->queryVoltageButton};
}

// Shown while a resistance measurement is waited for: it fills over the measurement wait, then
// shows the read under way until its reply or time-out.
void MainWindow::UpdateMeasureProgress() {
  QProgressBar& bar = *ui_->measureProgress;
  const Progress measurement = engine_.ProgressOf(Operation::kQueryResistance);
  if (measurement.phase == Phase::kDelaying) {
    bar.setRange(0,
                 static_cast<int>(
                     std::chrono::duration_cast<std::chrono::seconds>(measurement.delay).count()));
    bar.setValue(static_cast<int>(measurement.elapsed.count()));
    bar.show();
  } else if (measurement.phase == Phase::kAwaiting) {
    bar.setRange(0, 0);
    bar.show();
  } else {
    bar.hide();
  }
}

}  // namespace karvello
