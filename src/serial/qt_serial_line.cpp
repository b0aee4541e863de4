#include "serial/qt_serial_line.h"

#include <QLoggingCategory>
#include <QTime>

#include "framing/frame_text.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace karvello {

// The line's diagnostics, off unless asked for through Qt's logging rules, e.g.
// QT_LOGGING_RULES="karvello.line.debug=true": every frame out and every piece in, with the time
// of day to the millisecond.
Q_LOGGING_CATEGORY(lcLine, "karvello.line", QtWarningMsg)

namespace {

QString Now() {
  return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

QString Hex(std::span<const std::uint8_t> bytes) {
  return QString::fromStdString(HexText(bytes));
}

void ApplyLineSettings(QSerialPort& serial) {
  serial.setBaudRate(QSerialPort::Baud9600);
  serial.setDataBits(QSerialPort::Data8);
  serial.setParity(QSerialPort::NoParity);
  serial.setStopBits(QSerialPort::OneStop);
  serial.setFlowControl(QSerialPort::NoFlowControl);
}

}  // namespace

QtSerialLine::QtSerialLine(const PortMap& ports, QObject* parent) : QObject(parent), ports_(ports) {
  ApplyLineSettings(serial_);
  serial_.setReadBufferSize(static_cast<qint64>(kReceiveBufferSize));
  gap_.setSingleShot(true);
  gap_.setTimerType(Qt::PreciseTimer);
  gap_.setInterval(kFrameGap);
  connect(&serial_, &QSerialPort::readyRead, this, &QtSerialLine::OnReadyRead);
  connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialLine::OnError);
  connect(&gap_, &QTimer::timeout, this, &QtSerialLine::OnGapElapsed);
#if KARVELLO_NETWORK_LINE
  tcp_.SetOnArrived(
      [this](std::span<const std::uint8_t> bytes, bool whole) { OnArrived(bytes, whole); });
  tcp_.SetOnLost([this](const QString&) {
    // As a pulled adapter: the operations in flight end; the next request connects again.
    gap_.stop();
    PortLost();
  });
#endif
}

QtSerialLine::~QtSerialLine() {
  // Disconnect first: closing must not raise events into an owner being torn down.
  serial_.disconnect(this);
  if (serial_.isOpen()) serial_.close();
}

bool QtSerialLine::Open(int number) {
  return Open(LineAddress::Port(number));
}

bool QtSerialLine::Open(const LineAddress& address) {
  Close();
  address_ = address;
  openError_.clear();
  switch (address.kind) {
    case LineAddress::Kind::kPortNumber: {
      port_ = address.number;
      const auto path = ports_.DevicePath(address.number);
      if (!path) {
        openError_ = "no such port";
        return false;
      }
      return OpenDevice(*path);
    }
    case LineAddress::Kind::kDevice:
      port_ = 0;
      return OpenDevice(address.device);
    case LineAddress::Kind::kRtuOverTcp:
    case LineAddress::Kind::kModbusTcp:
      port_ = 0;
#if KARVELLO_NETWORK_LINE
      if (!tcp_.Open(address, network_)) {
        openError_ = tcp_.Error().toStdString();
        return false;
      }
      return true;
#else
      openError_ = "this build has no network lines (built without Qt Network)";
      return false;
#endif
  }
  return false;
}

bool QtSerialLine::OnNetwork() const {
#if KARVELLO_NETWORK_LINE
  return tcp_.IsOpen();
#else
  return false;
#endif
}

bool QtSerialLine::CarriesBroadcasts() const {
#if KARVELLO_NETWORK_LINE
  if (tcp_.IsOpen() && tcp_.ModbusTcp()) return false;
#endif
  return true;
}

bool QtSerialLine::OpenDevice(const std::string& path) {
  serial_.setPortName(QString::fromStdString(path));
  if (!serial_.open(QIODevice::ReadWrite)) {
    openError_ = serial_.errorString().toStdString();
    qCDebug(lcLine).noquote() << Now() << QString::fromStdString(address_.text)
                              << QString::fromStdString(path)
                              << "does not open:" << serial_.errorString();
    return false;
  }
  // The line settings are applied again once open: some drivers take them only then.
  ApplyLineSettings(serial_);
  qCDebug(lcLine).noquote() << Now() << QString::fromStdString(address_.text) << "open on"
                            << QString::fromStdString(path);
  return true;
}

void QtSerialLine::Close() {
  gap_.stop();
  ForgetReceived();
  if (serial_.isOpen()) serial_.close();
#if KARVELLO_NETWORK_LINE
  tcp_.Close();
#endif
}

bool QtSerialLine::Write(std::span<const std::uint8_t> bytes) {
#if KARVELLO_NETWORK_LINE
  if (OnNetwork()) {
    qCDebug(lcLine).noquote() << Now() << "out" << Hex(bytes);
    return tcp_.Write(bytes);
  }
#endif
  const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<qsizetype>(bytes.size()));
  qCDebug(lcLine).noquote() << Now() << "out" << Hex(bytes);
  const bool written = serial_.write(data) == data.size();
  // Hand the frame to the driver at once. QSerialPort::clear(Output) would flush the driver's
  // queue as well, and the frame just written is still in it (8 bytes take 8 ms at 9600 baud).
  serial_.flush();
  return written;
}

void QtSerialLine::DropReceived() {
  gap_.stop();
#if KARVELLO_NETWORK_LINE
  if (OnNetwork()) {
    tcp_.DropReceived();
    return;
  }
#endif
  serial_.clear(QSerialPort::Input);
}

void QtSerialLine::OnReadyRead() {
  const QByteArray data = serial_.readAll();
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(data.constData()),
                        static_cast<std::size_t>(data.size()));
  qCDebug(lcLine).noquote() << Now() << "in " << Hex(bytes);
  OnArrived(bytes, false);
}

void QtSerialLine::OnArrived(std::span<const std::uint8_t> bytes, bool whole) {
  if (OnNetwork()) qCDebug(lcLine).noquote() << Now() << "in " << Hex(bytes);
  Arrive(bytes);
  if (whole) {
    // A Modbus TCP reply comes whole: what it cannot complete is judged at once.
    gap_.stop();
    FallSilent();
  } else if (HasWaiting()) {
    gap_.start();
  } else {
    gap_.stop();
  }
}

void QtSerialLine::OnGapElapsed() {
  FallSilent();
}

bool QtSerialLine::LineHungUp() const {
#ifdef Q_OS_UNIX
  pollfd line{static_cast<int>(serial_.handle()), POLLIN, 0};
  return poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
  return false;
#endif
}

void QtSerialLine::OnError(QSerialPort::SerialPortError error) {
  // A pseudo-terminal whose other end has closed (and a line hung up) reads as end of file, which
  // comes as a read error at every wake-up rather than as a lost resource. A read error on a
  // line that is still up (a spurious wake-up) is passed over.
  if (!serial_.isOpen()) return;
  if (error != QSerialPort::ResourceError && !(error == QSerialPort::ReadError && LineHungUp())) {
    return;
  }
  // The device went away (a pulled USB adapter): close, or the event loop spins on a dead
  // descriptor, and tell the operations at once.
  qCWarning(lcLine).noquote() << Now() << QString::fromStdString(address_.text)
                              << "lost:" << serial_.errorString();
  gap_.stop();
  serial_.close();
  PortLost();
}

}  // namespace karvello
