#include "serial/tcp_link.h"

#include <QEventLoop>
#include <QLoggingCategory>

#include "framing/frame_text.h"

namespace karvello {

Q_DECLARE_LOGGING_CATEGORY(lcLine)

namespace {

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point due) {
  const auto left = due - std::chrono::steady_clock::now();
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

}  // namespace

TcpLink::TcpLink(QObject* parent) : QObject(parent) {
  connectTimer_.setSingleShot(true);
  pauseTimer_.setSingleShot(true);
  pauseTimer_.setTimerType(Qt::PreciseTimer);
  socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
  connect(&socket_, &QTcpSocket::connected, this, &TcpLink::OnConnected);
  connect(&socket_, &QTcpSocket::readyRead, this, &TcpLink::OnReadyRead);
  connect(&socket_, &QTcpSocket::errorOccurred, this,
          [this](QAbstractSocket::SocketError) { OnBroken(socket_.errorString()); });
  connect(&socket_, &QTcpSocket::disconnected, this,
          [this] { OnBroken(QStringLiteral("the server closed the connection")); });
  connect(&connectTimer_, &QTimer::timeout, this, [this] {
    socket_.abort();
    OnBroken(QStringLiteral("no connection within %1 ms").arg(settings_.connectTimeout.count()));
  });
  connect(&pauseTimer_, &QTimer::timeout, this, &TcpLink::SendWhenDue);
}

TcpLink::~TcpLink() {
  socket_.disconnect(this);
  socket_.abort();
}

bool TcpLink::Open(const LineAddress& address, const NetworkSettings& settings) {
  Close();
  address_ = address;
  settings_ = settings;
  error_.clear();
  QEventLoop wait;
  QTimer giveUp;
  giveUp.setSingleShot(true);
  connect(&socket_, &QTcpSocket::connected, &wait, &QEventLoop::quit);
  connect(&socket_, &QTcpSocket::errorOccurred, &wait, &QEventLoop::quit);
  connect(&giveUp, &QTimer::timeout, &wait, &QEventLoop::quit);
  socket_.connectToHost(QString::fromStdString(address.host), address.port);
  if (socket_.state() != QAbstractSocket::ConnectedState &&
      socket_.state() != QAbstractSocket::UnconnectedState) {
    giveUp.start(settings.connectTimeout);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
  }
  if (socket_.state() != QAbstractSocket::ConnectedState) {
    error_ =
        socket_.error() != QAbstractSocket::UnknownSocketError
            ? socket_.errorString()
            : QStringLiteral("no connection within %1 ms").arg(settings.connectTimeout.count());
    qCDebug(lcLine).noquote() << QString::fromStdString(address.text) << "does not open:" << error_;
    socket_.abort();
    return false;
  }
  qCDebug(lcLine).noquote() << QString::fromStdString(address.text) << "connected";
  open_ = true;
  up_ = true;
  return true;
}

void TcpLink::Close() {
  ++generation_;
  open_ = false;
  up_ = false;
  waiting_.reset();
  connectTimer_.stop();
  pauseTimer_.stop();
  reader_.Reset();
  socket_.abort();
}

void TcpLink::OnConnected() {
  connectTimer_.stop();
  due_ = std::max(due_, Clock::now() + settings_.pauseAfterConnect);
  SendWhenDue();
}

void TcpLink::Connect() {
  if (socket_.state() != QAbstractSocket::UnconnectedState) return;
  reader_.Reset();
  up_ = true;
  connectTimer_.start(settings_.connectTimeout);
  socket_.connectToHost(QString::fromStdString(address_.host), address_.port);
}

bool TcpLink::Write(std::span<const std::uint8_t> frame) {
  if (!open_) return false;
  if (ModbusTcp()) {
    ++transaction_;
    waiting_ = MbapOfRtu(frame, transaction_);
  } else {
    waiting_ = std::vector<std::uint8_t>(frame.begin(), frame.end());
  }
  if (socket_.state() != QAbstractSocket::ConnectedState) {
    Connect();
    return true;
  }
  SendWhenDue();
  return true;
}

void TcpLink::SendWhenDue() {
  if (!waiting_ || socket_.state() != QAbstractSocket::ConnectedState) return;
  if (const auto left = Left(due_); left.count() > 0) {
    pauseTimer_.start(left);
    return;
  }
  const QByteArray data(reinterpret_cast<const char*>(waiting_->data()),
                        static_cast<qsizetype>(waiting_->size()));
  waiting_.reset();
  if (socket_.write(data) != data.size()) {
    OnBroken(socket_.errorString());
    return;
  }
  socket_.flush();
  due_ = Clock::now() + settings_.pause;
}

void TcpLink::DropReceived() {
  if (socket_.state() == QAbstractSocket::ConnectedState) socket_.readAll();
  reader_.Reset();
}

void TcpLink::OnReadyRead() {
  const QByteArray data = socket_.readAll();
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(data.constData()),
                        static_cast<std::size_t>(data.size()));
  due_ = std::max(due_, Clock::now() + settings_.pause);
  if (!ModbusTcp()) {
    if (onArrived_) onArrived_(bytes, false);
    return;
  }
  const MbapReader::Taken taken = reader_.Feed(bytes);
  for (const MbapReader::Frame& frame : taken.frames) {
    // A reply to an earlier request (one that timed out) answers nothing now.
    if (frame.transaction != transaction_) {
      qCDebug(lcLine).noquote() << "reply of an earlier transaction dropped:"
                                << QString::fromStdString(HexText(frame.bytes));
      continue;
    }
    if (onArrived_) onArrived_(RtuOfMbap(frame.bytes), true);
  }
  if (!taken.broken.empty() && onArrived_) onArrived_(taken.broken, true);
}

void TcpLink::OnBroken(const QString& reason) {
  // A drop raises an error and a disconnection both: it is told once.
  if (!open_ || !up_) return;
  up_ = false;
  connectTimer_.stop();
  pauseTimer_.stop();
  waiting_.reset();
  if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
  qCWarning(lcLine).noquote() << QString::fromStdString(address_.text) << "lost:" << reason;
  // Told from the event loop: an error can be raised inside a call the engine made. A loss of a
  // connection since closed is not told.
  QTimer::singleShot(0, this, [this, generation = generation_, reason] {
    if (generation == generation_ && onLost_) onLost_(reason);
  });
}

}  // namespace karvello
