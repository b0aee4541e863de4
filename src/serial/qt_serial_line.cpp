#include "serial/qt_serial_line.h"

#include <QLoggingCategory>
#include <QTime>

#include "framing/frame_text.h"

namespace karvello {

// The line's diagnostics, off unless asked for through Qt's logging rules, e.g.
// QT_LOGGING_RULES="karvello.line.debug=true": every frame out and every piece in, as it
// crossed the wire, with the time of day to the millisecond.
Q_LOGGING_CATEGORY(lcLine, "karvello.line", QtWarningMsg)

namespace {

QString Now() {
  return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

QString Hex(std::span<const std::uint8_t> bytes) {
  return QString::fromStdString(HexText(bytes));
}

}  // namespace

QtSerialLine::QtSerialLine(const PortMap& ports, QObject* parent)
    : QObject(parent), factory_(ports) {
  gap_.setSingleShot(true);
  gap_.setTimerType(Qt::PreciseTimer);
  gap_.setInterval(kFrameGap);
  connect(&gap_, &QTimer::timeout, this, [this] { FallSilent(); });
}

QtSerialLine::~QtSerialLine() {
  // The backend goes first: closing must not raise events into a line being torn down. Those
  // retired before are closed, and go with the line.
  delete backend_;
}

bool QtSerialLine::Open(const LineAddress& address) {
  Close();
  Retire();
  address_ = address;
  failure_ = {};
  const LineFactory::Made made = factory_.Make(address, this);
  if (made.backend == nullptr) {
    failure_ = {.error = made.refusal, .errorTold = true};
    return false;
  }
  backend_ = made.backend;
  // A backend retired meanwhile is no longer heard.
  LineBackend* const backend = backend_;
  backend_->SetOnArrived([this, backend](std::span<const std::uint8_t> bytes) {
    if (backend == backend_) OnArrived(bytes);
  });
  backend_->SetOnLost([this, backend] {
    if (backend == backend_) OnLost();
  });
  UsePacking(PackingFor(address));
  if (!backend_->Open()) {
    failure_ = backend_->Failure();
    return false;
  }
  return true;
}

void QtSerialLine::Retire() {
  if (backend_ == nullptr) return;
  // Deleted once the event loop comes back to it (each backend is a QObject, the line's child): a
  // line can be opened anew from inside the backend's own telling of a loss.
  dynamic_cast<QObject&>(*backend_).deleteLater();
  backend_ = nullptr;
}

void QtSerialLine::Close() {
  gap_.stop();
  ForgetReceived();
  if (backend_) backend_->Close();
}

bool QtSerialLine::Write(std::span<const std::uint8_t> bytes) {
  qCDebug(lcLine).noquote() << Now() << "out" << Hex(bytes);
  return backend_->Write(bytes);
}

void QtSerialLine::DropReceived() {
  gap_.stop();
  backend_->DropReceived();
}

void QtSerialLine::OnArrived(std::span<const std::uint8_t> bytes) {
  qCDebug(lcLine).noquote() << Now() << "in " << Hex(bytes);
  Arrive(bytes);
  // The bytes that cannot be the awaited reply are judged once the line falls silent.
  if (HasWaiting()) {
    gap_.start();
  } else {
    gap_.stop();
  }
}

void QtSerialLine::OnLost() {
  // As a pulled adapter: the operations in flight end; a network line connects again for the
  // next request.
  gap_.stop();
  PortLost();
}

}  // namespace karvello
