#include "serial/qt_serial_control.h"

#include <QLoggingCategory>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif
#include <QTime>

namespace karvello {

// The line's diagnostics, off unless asked for through Qt's logging rules, e.g.
// QT_LOGGING_RULES="karvello.line.debug=true": every frame out and in, with the time of day to
// the millisecond at which it was written or handed to the operations.
Q_LOGGING_CATEGORY(lcLine, "karvello.line", QtWarningMsg)

namespace {
QString Now() {
  return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}
}  // namespace

QtSerialControl::QtSerialControl(const PortMap& ports, QObject* parent)
    : QObject(parent), ports_(ports) {
  serial_.setBaudRate(QSerialPort::Baud9600);
  serial_.setDataBits(QSerialPort::Data8);
  serial_.setParity(QSerialPort::NoParity);
  serial_.setStopBits(QSerialPort::OneStop);
  serial_.setFlowControl(QSerialPort::NoFlowControl);
  serial_.setReadBufferSize(static_cast<qint64>(kReceiveBufferSize));
  gap_.setSingleShot(true);
  gap_.setTimerType(Qt::PreciseTimer);
  gap_.setInterval(kFrameGap);
  connect(&serial_, &QSerialPort::readyRead, this, &QtSerialControl::OnReadyRead);
  connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialControl::OnError);
  connect(&gap_, &QTimer::timeout, this, &QtSerialControl::OnGapElapsed);
}

QtSerialControl::~QtSerialControl() {
  // Disconnect first: closing must not raise events into an owner being torn down.
  serial_.disconnect(this);
  if (serial_.isOpen()) serial_.close();
}

bool QtSerialControl::SetPortOpen(bool open) {
  gap_.stop();
  assembler_.Clear();
  if (!open) {
    if (serial_.isOpen()) serial_.close();
    return true;
  }
  if (serial_.isOpen()) return false;
  const auto path = ports_.DevicePath(port_);
  if (!path) return false;
  serial_.setPortName(QString::fromStdString(*path));
  if (!serial_.open(QIODevice::ReadWrite)) {
    qCDebug(lcLine).noquote() << Now() << "COM" << port_ << QString::fromStdString(*path)
                              << "does not open:" << serial_.errorString();
    return false;
  }
  // The line settings are applied again once open: some drivers take them only then.
  serial_.setBaudRate(QSerialPort::Baud9600);
  serial_.setDataBits(QSerialPort::Data8);
  serial_.setParity(QSerialPort::NoParity);
  serial_.setStopBits(QSerialPort::OneStop);
  serial_.setFlowControl(QSerialPort::NoFlowControl);
  qCDebug(lcLine).noquote() << Now() << "COM" << port_ << "open on"
                            << QString::fromStdString(*path);
  return true;
}

bool QtSerialControl::Output(std::span<const std::uint8_t> bytes) {
  if (!serial_.isOpen()) return false;
  const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<qsizetype>(bytes.size()));
  qCDebug(lcLine).noquote() << Now() << "out" << data.toHex(' ').toUpper();
  return serial_.write(data) == data.size();
}

void QtSerialControl::ClearInBuffer() {
  gap_.stop();
  assembler_.Clear();
  if (serial_.isOpen()) serial_.clear(QSerialPort::Input);
}

void QtSerialControl::ClearOutBuffer() {
  // QSerialPort::clear(Output) would also flush the driver's queue, and a frame written a moment
  // ago is still in it (8 bytes take 8 ms at 9600 baud). Emptying Qt's buffer into the driver
  // keeps the frame whole and leaves nothing behind to be sent later.
  if (serial_.isOpen()) serial_.flush();
}

std::vector<std::uint8_t> QtSerialControl::Input() {
  std::vector<std::uint8_t> frame;
  frame.swap(current_);
  return frame;
}

void QtSerialControl::OnReadyRead() {
  const QByteArray data = serial_.readAll();
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data.constData());
  assembler_.Feed(std::span(begin, static_cast<std::size_t>(data.size())));
  while (auto frame = assembler_.TakeFrame()) Deliver(std::move(*frame), kEvReceive);
  if (assembler_.HasPartial()) {
    gap_.start();
  } else {
    gap_.stop();
  }
}

void QtSerialControl::OnGapElapsed() {
  if (assembler_.HasPartial()) Deliver(assembler_.TakeRest(), kEvReceive);
}

bool QtSerialControl::LineHungUp() const {
#ifdef Q_OS_UNIX
  pollfd line{static_cast<int>(serial_.handle()), POLLIN, 0};
  return poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
  return false;
#endif
}

void QtSerialControl::OnError(QSerialPort::SerialPortError error) {
  // A pseudo-terminal whose other end has closed (and a line hung up) reads as end of file, which
  // comes as a read error at every wake-up rather than as a lost resource. A read error on a
  // line that is still up (a spurious wake-up) is passed over.
  if (error != QSerialPort::ResourceError && !(error == QSerialPort::ReadError && LineHungUp())) {
    return;
  }
  // The device went away (a pulled USB adapter): close, or the event loop spins on a dead
  // descriptor. The operation in flight ends through its time-out.
  qCWarning(lcLine).noquote() << Now() << "COM" << port_ << "lost:" << serial_.errorString();
  gap_.stop();
  assembler_.Clear();
  serial_.close();
  Deliver({}, kEvError);
}

void QtSerialControl::Deliver(std::vector<std::uint8_t> frame, int event) {
  if (event == kEvReceive) {
    qCDebug(lcLine).noquote() << Now() << "in "
                              << QByteArray(reinterpret_cast<const char*>(frame.data()),
                                            static_cast<qsizetype>(frame.size()))
                                     .toHex(' ')
                                     .toUpper();
  }
  current_ = std::move(frame);
  event_ = event;
  RaiseOnComm();
}

}  // namespace karvello
