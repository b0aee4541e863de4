#include "serial/tcp_backend.h"

#include <QEventLoop>
#include <QLoggingCategory>

namespace karvello {

Q_DECLARE_LOGGING_CATEGORY(lcLine)

namespace {

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point due) {
  const auto left = due - std::chrono::steady_clock::now();
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

}  // namespace

TcpBackend::TcpBackend(LineAddress address, const NetworkSettings& settings, QObject* parent)
    : QObject(parent), address_(std::move(address)), settings_(settings) {
  connectTimer_.setSingleShot(true);
  pauseTimer_.setSingleShot(true);
  pauseTimer_.setTimerType(Qt::PreciseTimer);
  socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
  connect(&socket_, &QTcpSocket::connected, this, &TcpBackend::OnConnected);
  connect(&socket_, &QTcpSocket::readyRead, this, &TcpBackend::OnReadyRead);
  connect(&socket_, &QTcpSocket::errorOccurred, this,
          [this](QAbstractSocket::SocketError) { OnBroken(socket_.errorString()); });
  connect(&socket_, &QTcpSocket::disconnected, this,
          [this] { OnBroken(QStringLiteral("the server closed the connection")); });
  connect(&connectTimer_, &QTimer::timeout, this, [this] {
    socket_.abort();
    OnBroken(QStringLiteral("no connection within %1 ms").arg(settings_.connectTimeout.count()));
  });
  connect(&pauseTimer_, &QTimer::timeout, this, &TcpBackend::SendWhenDue);
}

TcpBackend::~TcpBackend() {
  socket_.disconnect(this);
  socket_.abort();
}

bool TcpBackend::Open() {
  Close();
  const LineAddress& address = address_;
  const NetworkSettings& settings = settings_;
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

void TcpBackend::Close() {
  ++generation_;
  open_ = false;
  up_ = false;
  waiting_.reset();
  connectTimer_.stop();
  pauseTimer_.stop();
  socket_.abort();
}

void TcpBackend::OnConnected() {
  connectTimer_.stop();
  due_ = std::max(due_, Clock::now() + settings_.pauseAfterConnect);
  SendWhenDue();
}

void TcpBackend::Connect() {
  if (socket_.state() != QAbstractSocket::UnconnectedState) return;
  up_ = true;
  connectTimer_.start(settings_.connectTimeout);
  socket_.connectToHost(QString::fromStdString(address_.host), address_.port);
}

bool TcpBackend::Write(std::span<const std::uint8_t> bytes) {
  if (!open_) return false;
  waiting_ = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  if (socket_.state() != QAbstractSocket::ConnectedState) {
    Connect();
    return true;
  }
  SendWhenDue();
  return true;
}

void TcpBackend::SendWhenDue() {
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

void TcpBackend::DropReceived() {
  if (socket_.state() == QAbstractSocket::ConnectedState) socket_.readAll();
}

void TcpBackend::OnReadyRead() {
  const QByteArray data = socket_.readAll();
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(data.constData()),
                        static_cast<std::size_t>(data.size()));
  due_ = std::max(due_, Clock::now() + settings_.pause);
  Arrived(bytes);
}

void TcpBackend::OnBroken(const QString& reason) {
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
  QTimer::singleShot(0, this, [this, generation = generation_] {
    if (generation == generation_) Lost();
  });
}

}  // namespace karvello
