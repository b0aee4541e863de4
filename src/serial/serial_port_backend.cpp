#include "serial/serial_port_backend.h"

#include <utility>

#include <QLoggingCategory>
#include <QTime>

#include "serial/line_platform.h"
#include "serial/reply_finder.h"

namespace karvello {

Q_DECLARE_LOGGING_CATEGORY(lcLine)

namespace {

QString Now() {
  return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

void ApplyLineSettings(QSerialPort& serial) {
  serial.setBaudRate(QSerialPort::Baud9600);
  serial.setDataBits(QSerialPort::Data8);
  serial.setParity(QSerialPort::NoParity);
  serial.setStopBits(QSerialPort::OneStop);
  serial.setFlowControl(QSerialPort::NoFlowControl);
}

// Why a serial port did not open, in words a user can act on. Qt reports a port locked by another
// program as a permission error "while locking the device".
std::string ReasonOf(QSerialPort::SerialPortError error, const QString& text) {
  switch (error) {
    case QSerialPort::DeviceNotFoundError:
      return "no such device";
    case QSerialPort::PermissionError:
      if (text.contains(QStringLiteral("lock"), Qt::CaseInsensitive) ||
          text.contains(QStringLiteral("busy"), Qt::CaseInsensitive)) {
        return "it is in use by another program";
      }
      return "permission denied (add the user to the dialout group: sudo usermod -aG dialout "
             "$USER, then log in again)";
    default:
      return text.toStdString();
  }
}

}  // namespace

SerialPortBackend::SerialPortBackend(LineAddress address, const PortMap& ports, QObject* parent)
    : QObject(parent), address_(std::move(address)), ports_(ports) {
  ApplyLineSettings(serial_);
  serial_.setReadBufferSize(static_cast<qint64>(kReceiveBufferSize));
  connect(&serial_, &QSerialPort::readyRead, this, &SerialPortBackend::OnReadyRead);
  connect(&serial_, &QSerialPort::errorOccurred, this, &SerialPortBackend::OnError);
  silence_.setSingleShot(true);
  silence_.setTimerType(Qt::PreciseTimer);
  connect(&silence_, &QTimer::timeout, this, &SerialPortBackend::WriteHeld);
}

SerialPortBackend::~SerialPortBackend() {
  // Disconnect first: closing must not raise events into an owner being torn down.
  serial_.disconnect(this);
  if (serial_.isOpen()) serial_.close();
}

bool SerialPortBackend::Open() {
  Close();
  failure_ = {};
  std::string path = address_.device;
  if (address_.kind == LineAddress::Kind::kPortNumber) {
    const auto found = ports_.DevicePath(address_.number);
    if (!found) {
      failure_ = {.error = "no such port", .noDevice = true};
      return false;
    }
    path = *found;
    failure_.device = path;
  }
  serial_.setPortName(QString::fromStdString(path));
  if (!serial_.open(QIODevice::ReadWrite)) {
    failure_.error = serial_.errorString().toStdString();
    failure_.reason = ReasonOf(serial_.error(), serial_.errorString());
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

void SerialPortBackend::Close() {
  silence_.stop();
  held_.clear();
  if (serial_.isOpen()) serial_.close();
}

bool SerialPortBackend::Write(std::span<const std::uint8_t> bytes) {
  held_.emplace_back(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<qsizetype>(bytes.size()));
  if (held_.size() > 1) return serial_.isOpen();  // after those held before it
  if (quietFrom_ <= Clock::now()) {
    const bool written = WriteNow(held_.front());
    held_.clear();
    return written;
  }
  // Too soon after the last frame on the line: the request waits out the rest of the silence.
  WriteHeld();
  return serial_.isOpen();
}

void SerialPortBackend::WriteHeld() {
  if (!serial_.isOpen()) return held_.clear();
  while (!held_.empty()) {
    // Bytes that came meanwhile put the silence off.
    if (const auto left = quietFrom_ - Clock::now(); left > Clock::duration::zero()) {
      silence_.start(std::chrono::ceil<std::chrono::milliseconds>(left));
      return;
    }
    // Bytes that came meanwhile came before the request: no answer to it.
    serial_.clear(QSerialPort::Input);
    WriteNow(held_.front());
    held_.pop_front();
  }
}

bool SerialPortBackend::WriteNow(const QByteArray& data) {
  const bool written = serial_.write(data) == data.size();
  // Hand the frame to the driver at once. QSerialPort::clear(Output) would flush the driver's
  // queue as well, and the frame just written is still in it (8 bytes take 8 ms at 9600 baud).
  serial_.flush();
  quietFrom_ = Clock::now() + data.size() * kCharacterTime + kSilenceBetweenFrames;
  return written;
}

void SerialPortBackend::DropReceived() {
  serial_.clear(QSerialPort::Input);
}

void SerialPortBackend::OnReadyRead() {
  const QByteArray data = serial_.readAll();
  // The last byte came now, or a little before: the silence after it counts from now. (Whatever
  // comes, a reply or the line's echo, comes after the request's bytes have gone.)
  if (!data.isEmpty()) quietFrom_ = Clock::now() + kSilenceBetweenFrames;
  Arrived(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                    static_cast<std::size_t>(data.size())));
}

void SerialPortBackend::OnError(QSerialPort::SerialPortError error) {
  // A pseudo-terminal whose other end has closed (and a line hung up) reads as end of file, which
  // comes as a read error at every wake-up rather than as a lost resource. A read error on a
  // line that is still up (a spurious wake-up) is passed over.
  if (!serial_.isOpen()) return;
  if (error != QSerialPort::ResourceError &&
      !(error == QSerialPort::ReadError && SerialDeviceHungUp(serial_))) {
    return;
  }
  // The device went away (a pulled USB adapter): close, or the event loop spins on a dead
  // descriptor, and tell the line at once.
  qCWarning(lcLine).noquote() << Now() << QString::fromStdString(address_.text)
                              << "lost:" << serial_.errorString();
  serial_.close();
  Lost();
}

}  // namespace karvello
