#include "gateway/mqtt_client.h"

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;

void InitLibrary() {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
}

// "1 message", "3 messages".
std::string Messages(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " message" : " messages");
}

// "10 s", "500 ms".
std::string DurationText(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

QByteArray Bytes(std::string_view text) {
  return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::chrono::milliseconds MqttRetryDelay(int failures, std::chrono::milliseconds first,
                                         std::chrono::milliseconds last) {
  std::chrono::milliseconds delay = first;
  for (int i = 1; i < failures && delay < last; ++i) delay *= 2;
  return std::min(delay, last);
}

MqttClient::MqttClient(MqttClientSettings settings)
    : settings_(std::move(settings)), context_(std::make_unique<QObject>()) {
  InitLibrary();
  shownUrl_ = ShownUrl(settings_.broker);
  onLog_ = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

  tick_.setInterval(1s);
  QObject::connect(&tick_, &QTimer::timeout, context_.get(), [this] { OnTick(); });
  retry_.setSingleShot(true);
  QObject::connect(&retry_, &QTimer::timeout, context_.get(), [this] { Connect(); });
  connackTimer_.setSingleShot(true);
  QObject::connect(&connackTimer_, &QTimer::timeout, context_.get(), [this] {
    if (!mosq_ || state_ != State::kConnecting) return;
    libraryError_ = "it did not answer the connection (no CONNACK) within " +
                    DurationText(settings_.connackTimeout);
    OnGone();
  });
  stopTimer_.setSingleShot(true);
  QObject::connect(&stopTimer_, &QTimer::timeout, context_.get(), [this] {
    // The broker has not taken all in time: say offline and go; what it still holds back it
    // gets from the last will.
    if (mosq_ && state_ == State::kConnected) {
      if (!offlineSent_) PublishNow(settings_.presenceTopic, Bytes(kMqttOffline));
      mosquitto_disconnect(mosq_);
    }
    FinishStop();
  });
}

bool MqttClient::Accepting() const {
  return !stopping_ && state_ != State::kStopped && state_ != State::kRefused;
}

void MqttClient::PublishDirect(const std::string& topic, const QByteArray& payload) {
  if (!mosq_ || state_ != State::kConnected || broken_) return;
  PublishNow(topic, payload);
}

void MqttClient::Subscribe(const std::string& topic) {
  if (!mosq_ || state_ != State::kConnected || broken_) return;
  if (mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1) != MOSQ_ERR_SUCCESS) broken_ = true;
}

MqttClient::~MqttClient() {
  DropNotifiers();
  if (mosq_) mosquitto_destroy(mosq_);
}

void MqttClient::Start() {
  if (state_ != State::kIdle) return;
  tick_.start();
  Connect();
}

void MqttClient::Stop() {
  if (state_ == State::kStopped) return;
  if (stopping_ || state_ != State::kConnected) {
    stopping_ = true;
    FinishStop();
    return;
  }
  stopping_ = true;
  retry_.stop();
  stopTimer_.start(settings_.stopWait);
  Settle();  // with nothing queued, "offline" goes at once
}

bool MqttClient::Enqueue(std::string topic, QByteArray payload, MqttMessageTag tag) {
  if (!Accepting()) {
    // Refused by the broker, the watch reads on until it ends: what it made is not delivered.
    if (state_ == State::kRefused) ++notTaken_;
    return false;
  }
  if (queue_.size() >= std::max<std::size_t>(settings_.queueLimit, 1)) Drop();
  queue_.push_back({std::move(topic), std::move(payload), 0, false, std::move(tag)});
  if (state_ == State::kConnected) Settle();
  return true;
}

void MqttClient::Drop() {
  // The oldest reading; with none, the oldest alarm. An acknowledged one is never there: those
  // leave at once, in order, from the front.
  auto victim = std::find_if(queue_.begin(), queue_.end(), [](const Message& message) {
    return !message.acknowledged && !message.tag.alarm;
  });
  if (victim == queue_.end()) {
    victim = std::find_if(queue_.begin(), queue_.end(),
                          [](const Message& message) { return !message.acknowledged; });
    if (victim == queue_.end()) return;
    if (droppedAlarms_++ == 0) {
      Log("MQTT: the queue holds alarms alone: dropping the oldest alarm until " + shownUrl_ +
          " takes them");
    }
  }
  if (static_cast<std::size_t>(victim - queue_.begin()) < handed_) {
    --handed_;
    --inFlight_;  // whatever the broker answers for it now is not looked for
  }
  queue_.erase(victim);
  ++dropped_;
  ++droppedInOutage_;
  if (!dropSaid_) {
    dropSaid_ = true;
    Log("MQTT: the queue holds its " + std::to_string(settings_.queueLimit) +
        " messages: dropping the oldest until " + shownUrl_ + " takes them");
  }
}

void MqttClient::Connect() {
  if (!Accepting() || mosq_) return;
  libraryError_.clear();
  disconnectCode_.reset();
  connack_.reset();
  refusal_.reset();
  untrusted_.reset();
  broken_ = false;
  writeHeld_ = false;

  // A clean session, and a new client for each connection: the broker keeps nothing for us
  // and libmosquitto nothing between connections, so that what is sent again after a loss is
  // exactly what this queue holds unacknowledged, once, in order. (A kept session would have
  // the library and the broker send their own copies again too.)
  mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (!mosq_) {
    libraryError_ = "cannot make an MQTT client (out of memory)";
    OnGone();
    return;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // No limit of its own: Feed() keeps kMqttInFlightLimit.
  mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, 0);
  mosquitto_connect_callback_set(mosq_, &MqttClient::OnConnectCallback);
  mosquitto_disconnect_callback_set(mosq_, &MqttClient::OnDisconnectCallback);
  mosquitto_publish_callback_set(mosq_, &MqttClient::OnPublishCallback);
  mosquitto_message_callback_set(mosq_, &MqttClient::OnMessageCallback);
  mosquitto_log_callback_set(mosq_, &MqttClient::OnLogCallback);
  mosquitto_will_set(mosq_, settings_.presenceTopic.c_str(),
                     static_cast<int>(kMqttOffline.size()), kMqttOffline.data(), 1, true);
  const MqttUrl& broker = settings_.broker;
  if (!broker.user.empty()) {
    mosquitto_username_pw_set(mosq_, broker.user.c_str(),
                              broker.password ? broker.password->c_str() : nullptr);
  }
  if (broker.tls) {
    const int rc = settings_.caFile.empty()
                       ? mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                       : mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, nullptr,
                                           nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      libraryError_ =
          "cannot use the CA file " + settings_.caFile + " (" + mosquitto_strerror(rc) + ")";
      OnGone();
      return;
    }
  }
  state_ = State::kConnecting;
  connackTimer_.start(settings_.connackTimeout);
  errno = 0;
  const int rc = mosquitto_connect_async(mosq_, broker.host.c_str(), broker.port,
                                         static_cast<int>(settings_.keepAlive.count()));
  if (rc != MOSQ_ERR_SUCCESS) {
    disconnectCode_ = rc;
    disconnectErrno_ = errno;
    OnGone();
    return;
  }
  Settle();
}

void MqttClient::OnReadable() {
  if (!mosq_) return;
  writeHeld_ = false;
  mosquitto_loop_read(mosq_, 1);
  Settle();
}

void MqttClient::OnWritable() {
  if (!mosq_) return;
  if (state_ == State::kConnecting) {
    // libmosquitto finds a failed connect, and steps its TLS handshake, when it reads.
    mosquitto_loop_read(mosq_, 1);
    if (mosq_ && mosquitto_socket(mosq_) >= 0) mosquitto_loop_write(mosq_, 1);
    writeHeld_ = true;
  } else {
    mosquitto_loop_write(mosq_, 1);
  }
  Settle();
}

void MqttClient::OnTick() {
  writeHeld_ = false;
  if (!mosq_) return;
  mosquitto_loop_misc(mosq_);  // the keep-alive; a connect unanswered within it fails here
  Settle();
}

void MqttClient::Settle() {
  while (mosq_) {
    while (!acknowledged_.empty()) {
      const int mid = acknowledged_.front();
      acknowledged_.pop_front();
      Acknowledge(mid);
    }
    if (!acknowledgedMark_.empty()) {
      const std::string mark = std::move(acknowledgedMark_);
      acknowledgedMark_.clear();
      if (onAcknowledged_) onAcknowledged_(mark);
    }
    if (connack_) {
      const int code = *connack_;
      connack_.reset();
      if (code == 0) {
        OnConnected();
      } else if (code == 3) {
        // "Server unavailable": a broker's passing state, tried again like an outage.
        libraryError_ = mosquitto_connack_string(code);
      } else {
        refusal_ = mosquitto_connack_string(code);
      }
    }
    while (!received_.empty() && state_ == State::kConnected && !broken_) {
      const Received message = std::move(received_.front());
      received_.pop_front();
      if (onMessage_) onMessage_(message.topic, message.payload);
    }
    if (!mosq_) break;
    if (broken_ || mosquitto_socket(mosq_) < 0) {
      OnGone();
      break;
    }
    if (state_ == State::kConnected) {
      Feed();
      if (stopping_ && queue_.empty() && !offlineSent_ && !broken_) {
        offlineSent_ = true;
        PublishNow(settings_.presenceTopic, Bytes(kMqttOffline), &offlineMid_);
      }
    }
    if (!broken_) break;
  }
  SyncNotifiers();
}

void MqttClient::Acknowledge(int mid) {
  if (offlineSent_ && mid == offlineMid_ && mosq_) {
    // The last word is in: DISCONNECT, so that the broker drops the will.
    mosquitto_disconnect(mosq_);
    return;
  }
  for (std::size_t i = 0; i < handed_; ++i) {
    Message& message = queue_[i];
    if (message.mid == mid && !message.acknowledged) {
      message.acknowledged = true;
      --inFlight_;
      ++delivered_;
      break;
    }
  }
  while (handed_ > 0 && queue_.front().acknowledged) {
    if (!queue_.front().tag.mark.empty()) acknowledgedMark_ = std::move(queue_.front().tag.mark);
    queue_.pop_front();
    --handed_;
  }
  if (queue_.empty()) dropSaid_ = false;
}

void MqttClient::OnConnected() {
  connackTimer_.stop();
  state_ = State::kConnected;
  failures_ = 0;
  if (outage_) {
    const auto away = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - outageSince_);
    std::string line = "MQTT: " + shownUrl_ + " is back after " + std::to_string(away.count()) +
                       " s; sending the " + Messages(queue_.size()) + " kept";
    if (droppedInOutage_ > 0) {
      line += "; " + std::to_string(droppedInOutage_) + " dropped while it was away (" +
              std::to_string(dropped_) + " in all)";
    }
    Log(line);
    outage_ = false;
  } else {
    Log("MQTT: connected to " + shownUrl_ + (settings_.purpose.empty() ? "" : ", ") +
        settings_.purpose);
  }
  droppedInOutage_ = 0;
  dropSaid_ = false;
  PublishNow(settings_.presenceTopic, Bytes(kMqttOnline));
  if (onConnected_) onConnected_();
}

void MqttClient::OnGone() {
  const bool wasConnected = state_ == State::kConnected;
  connackTimer_.stop();
  DropNotifiers();
  if (mosq_) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  broken_ = false;
  acknowledged_.clear();
  received_.clear();
  // What the library held unacknowledged goes with it; this queue sends it again, in order.
  std::deque<Message> kept;
  for (Message& message : queue_) {
    if (message.acknowledged) continue;
    message.mid = 0;
    kept.push_back(std::move(message));
  }
  queue_ = std::move(kept);
  handed_ = 0;
  inFlight_ = 0;
  offlineSent_ = false;

  if (stopping_) {
    FinishStop();
    return;
  }
  if (refusal_ || untrusted_) {
    state_ = State::kRefused;
    tick_.stop();
    const std::string reason = refusal_ ? *refusal_ : *untrusted_;
    // A certificate that cannot be verified is no outage: trying again changes nothing.
    Log(refusal_ ? "MQTT: " + shownUrl_ + " refused the connection: " + reason
                 : "MQTT: the TLS certificate of " + shownUrl_ +
                       " cannot be verified (TLS verification failed): " + reason);
    QMetaObject::invokeMethod(
        context_.get(),
        [this, reason] {
          if (onRefused_) onRefused_(reason);
        },
        Qt::QueuedConnection);
    return;
  }
  state_ = State::kWaiting;
  ++failures_;
  if (!outage_) {
    outage_ = true;
    outageSince_ = std::chrono::steady_clock::now();
    Log("MQTT: " + std::string(wasConnected ? "lost " : "cannot reach ") + shownUrl_ + " (" +
        Reason() + "); readings are kept and sent when it is back");
  }
  retry_.start(MqttRetryDelay(failures_, settings_.firstRetry, settings_.lastRetry));
}

void MqttClient::Feed() {
  while (!broken_ && inFlight_ < kMqttInFlightLimit && handed_ < queue_.size()) {
    Message& message = queue_[handed_];
    int mid = 0;
    PublishNow(message.topic, message.payload, &mid);
    if (broken_) return;
    message.mid = mid;
    ++handed_;
    ++inFlight_;
  }
}

void MqttClient::PublishNow(const std::string& topic, const QByteArray& payload, int* mid) {
  errno = 0;
  const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.constData(), 1, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    disconnectCode_ = rc;
    disconnectErrno_ = errno;
    broken_ = true;
  }
}

std::uint64_t MqttClient::Undelivered() const {
  std::uint64_t left = notTaken_;
  for (const Message& message : queue_) left += message.acknowledged ? 0 : 1;
  return left;
}

void MqttClient::FinishStop() {
  stopTimer_.stop();
  connackTimer_.stop();
  retry_.stop();
  tick_.stop();
  DropNotifiers();
  if (mosq_) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  const bool wasStopped = state_ == State::kStopped;
  state_ = State::kStopped;
  if (wasStopped) return;
  const std::uint64_t left = Undelivered();
  if (left > 0) Log("MQTT: " + Messages(left) + " not delivered to " + shownUrl_);
  if (dropped_ > 0) {
    Log("MQTT: " + Messages(dropped_) + " dropped in all while " + shownUrl_ +
        " was away");
  }
  if (droppedAlarms_ > 0) {
    Log("MQTT: " + std::to_string(droppedAlarms_) + " of them alarms, from a queue that held " +
        "nothing else");
  }
  QMetaObject::invokeMethod(
      context_.get(),
      [this] {
        if (onStopped_) onStopped_();
      },
      Qt::QueuedConnection);
}

void MqttClient::SyncNotifiers() {
  const int socket = mosq_ ? mosquitto_socket(mosq_) : -1;
  if (socket != notifiedSocket_) {
    DropNotifiers();
    if (socket >= 0) {
      notifiedSocket_ = socket;
      readNotifier_ = new QSocketNotifier(socket, QSocketNotifier::Read, context_.get());
      QObject::connect(readNotifier_, &QSocketNotifier::activated, context_.get(),
                       [this] { OnReadable(); });
      writeNotifier_ = new QSocketNotifier(socket, QSocketNotifier::Write, context_.get());
      QObject::connect(writeNotifier_, &QSocketNotifier::activated, context_.get(),
                       [this] { OnWritable(); });
    }
  }
  if (writeNotifier_) writeNotifier_->setEnabled(!writeHeld_ && mosquitto_want_write(mosq_));
}

void MqttClient::DropNotifiers() {
  // Called from their own handlers too: they go once the handler has returned.
  for (QSocketNotifier** notifier : {&readNotifier_, &writeNotifier_}) {
    if (*notifier) {
      (*notifier)->setEnabled(false);
      (*notifier)->deleteLater();
      *notifier = nullptr;
    }
  }
  notifiedSocket_ = -1;
}

void MqttClient::Log(const std::string& line) {
  if (onLog_) onLog_(line);
}

std::string MqttClient::Reason() const {
  if (!libraryError_.empty()) return libraryError_;
  if (!disconnectCode_) return "no answer";
  if (*disconnectCode_ == MOSQ_ERR_ERRNO && disconnectErrno_ != 0) {
    return std::strerror(disconnectErrno_);
  }
  return mosquitto_strerror(*disconnectCode_);
}

// The library calls these from inside its own calls: they only note, for Settle().
void MqttClient::OnConnectCallback(mosquitto*, void* self, int code) {
  static_cast<MqttClient*>(self)->connack_ = code;
}

void MqttClient::OnDisconnectCallback(mosquitto*, void* self, int code) {
  auto* publisher = static_cast<MqttClient*>(self);
  publisher->disconnectCode_ = code;
  publisher->disconnectErrno_ = errno;
}

void MqttClient::OnPublishCallback(mosquitto*, void* self, int mid) {
  static_cast<MqttClient*>(self)->acknowledged_.push_back(mid);
}

void MqttClient::OnMessageCallback(mosquitto*, void* self, const mosquitto_message* message) {
  std::string payload;
  if (message->payload && message->payloadlen > 0) {
    payload.assign(static_cast<const char*>(message->payload),
                   static_cast<std::size_t>(message->payloadlen));
  }
  static_cast<MqttClient*>(self)->received_.push_back({message->topic, std::move(payload)});
}

void MqttClient::OnLogCallback(mosquitto* mosq, void* self, int level, const char* text) {
  if (!(level & MOSQ_LOG_ERR)) return;
  auto* client = static_cast<MqttClient*>(self);
  client->libraryError_ = text;
  if (client->state_ != State::kConnecting || client->untrusted_) return;
  // libmosquitto checks the host name itself, says so, and leaves OpenSSL no reason of its own.
  if (std::string_view(text).find("host name verification failed") != std::string_view::npos) {
    client->untrusted_ =
        "hostname mismatch (the certificate is not for " + client->settings_.broker.host + ")";
    return;
  }
  // The handshake failed on the certificate: OpenSSL's reason, while the library still holds
  // the connection (it closes it once this returns).
  auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(mosq));
  if (!ssl) return;
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) client->untrusted_ = X509_verify_cert_error_string(verified);
}

}  // namespace karvello::gateway
