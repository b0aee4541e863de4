#include "cli/mqtt_publisher.h"

#include <mosquitto.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QSysInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "engine/operations.h"
#include "record/record.h"

namespace karvello::cli {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";
constexpr const char* kHomeAssistantStatus = "homeassistant/status";

// What a quantity's sensor is to Home Assistant. It has no device class for a resistance.
struct Sensor {
  Quantity quantity;
  std::string_view entity;
  std::string_view deviceClass;
  std::string_view name() const { return FormOf(quantity).name; }  // the last level of its topic
  std::string_view unit() const { return FormOf(quantity).unit; }
};
constexpr Sensor kVoltage{Quantity::kVoltage, "Voltage", "voltage"};
constexpr Sensor kResistance{Quantity::kResistance, "Grounding resistance", ""};

const Sensor* SensorOf(std::string_view operationName) {
  const std::optional<Operation> operation = OperationNamed(operationName);
  if (!operation) return nullptr;
  switch (Describe(*operation).quantity) {
    case Quantity::kVoltage:
      return &kVoltage;
    case Quantity::kResistance:
      return &kResistance;
    case Quantity::kNone:
    case Quantity::kAddress:
      break;
  }
  return nullptr;
}

std::optional<int> AddressOf(const QJsonObject& object) {
  const QJsonValue value = object.value(QLatin1String("address"));
  if (!value.isDouble()) return std::nullopt;
  const double number = value.toDouble();
  if (number < 1 || number > 255 || number != static_cast<int>(number)) return std::nullopt;
  return static_cast<int>(number);
}

QByteArray Compact(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Home Assistant's ids take letters, digits, "_" and "-" only.
std::string IdOf(std::string_view site) {
  std::string id(site);
  for (char& c : id) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && c != '_' && c != '-') c = '_';
  }
  return id;
}

bool HasForbidden(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '+' || c == '#') return true;
  }
  return mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS;
}

void InitLibrary() {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
}

}  // namespace

std::chrono::milliseconds MqttRetryDelay(int failures, std::chrono::milliseconds first,
                                         std::chrono::milliseconds last) {
  std::chrono::milliseconds delay = first;
  for (int i = 1; i < failures && delay < last; ++i) delay *= 2;
  return std::min(delay, last);
}

std::string DefaultSite() {
  std::string host = QSysInfo::machineHostName().toStdString();
  host = host.substr(0, host.find('.'));
  return host.empty() ? "karvello" : host;
}

std::string TopicPrefix(std::string_view site, std::string_view prefix) {
  const auto refuse = [](const std::string& why) { throw std::invalid_argument(why); };
  if (site.empty()) refuse("the site name is empty");
  if (HasForbidden(site) || site.find('/') != std::string_view::npos) {
    refuse("the site name \"" + std::string(site) +
           "\" cannot name MQTT topics: it may not hold \"/\", \"+\", \"#\" or control characters");
  }
  if (prefix.empty()) return "karvello/" + std::string(site);
  const std::string shown = "the topic prefix \"" + std::string(prefix) + "\"";
  if (HasForbidden(prefix)) {
    refuse(shown + " may not hold \"+\", \"#\" or control characters");
  }
  if (prefix.front() == '$') refuse(shown + " may not begin with \"$\": brokers keep those");
  if (prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find("//") != std::string_view::npos) {
    refuse(shown + " may not have an empty level (a \"/\" at an end, or \"//\")");
  }
  return std::string(prefix);
}

MqttPublisher::MqttPublisher(MqttSettings settings)
    : settings_(std::move(settings)), context_(std::make_unique<QObject>()) {
  InitLibrary();
  if (settings_.topicPrefix.empty()) settings_.topicPrefix = TopicPrefix(settings_.site);
  statusTopic_ = settings_.topicPrefix + "/status";
  clientId_ =
      "karvello-" + settings_.site + "-" + std::to_string(QCoreApplication::applicationPid());
  shownUrl_ = ShownUrl(settings_.broker);
  onLog_ = [](const std::string& line) {
    std::fprintf(stderr, "karvello-cli: %s\n", line.c_str());
  };

  tick_.setInterval(1s);
  QObject::connect(&tick_, &QTimer::timeout, context_.get(), [this] { OnTick(); });
  retry_.setSingleShot(true);
  QObject::connect(&retry_, &QTimer::timeout, context_.get(), [this] { Connect(); });
  stopTimer_.setSingleShot(true);
  QObject::connect(&stopTimer_, &QTimer::timeout, context_.get(), [this] {
    // The broker has not taken all in time: say offline and go; what it still holds back it
    // gets from the last will.
    if (mosq_ && state_ == State::kConnected) {
      if (!offlineSent_) PublishNow(statusTopic_, QByteArray(kOffline.data(), kOffline.size()));
      mosquitto_disconnect(mosq_);
    }
    FinishStop();
  });
}

MqttPublisher::~MqttPublisher() {
  DropNotifiers();
  if (mosq_) mosquitto_destroy(mosq_);
}

void MqttPublisher::Start() {
  if (state_ != State::kIdle) return;
  tick_.start();
  Connect();
}

bool MqttPublisher::PublishReading(const QJsonObject& reading) {
  const std::optional<int> address = AddressOf(reading);
  const Sensor* quantity =
      SensorOf(reading.value(QLatin1String("operation")).toString().toStdString());
  if (!address || !quantity || !Accepting()) return false;
  if (settings_.homeAssistant &&
      discovered_.emplace(*address, std::string(quantity->name())).second && Connected()) {
    PublishDiscovery(*address, quantity->name());
  }
  return Enqueue(
      settings_.topicPrefix + "/" + std::to_string(*address) + "/" + std::string(quantity->name()),
      Compact(reading));
}

bool MqttPublisher::PublishAlarm(const QJsonObject& alarm) {
  const std::optional<int> address = AddressOf(alarm);
  if (!address || !Accepting()) return false;
  return Enqueue(settings_.topicPrefix + "/" + std::to_string(*address) + "/alarm", Compact(alarm));
}

void MqttPublisher::Stop() {
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

bool MqttPublisher::Accepting() const {
  return !stopping_ && state_ != State::kStopped && state_ != State::kRefused;
}

bool MqttPublisher::Enqueue(std::string topic, QByteArray payload) {
  if (queue_.size() >= std::max<std::size_t>(settings_.queueLimit, 1)) Drop();
  queue_.push_back({std::move(topic), std::move(payload)});
  if (state_ == State::kConnected) Settle();
  return true;
}

void MqttPublisher::Drop() {
  if (handed_ > 0) {
    --handed_;
    --inFlight_;  // the front is never an acknowledged one: those leave at once
  }
  queue_.pop_front();
  ++dropped_;
  ++droppedInOutage_;
  if (!dropSaid_) {
    dropSaid_ = true;
    Log("MQTT: the queue holds its " + std::to_string(settings_.queueLimit) +
        " messages: dropping the oldest until " + shownUrl_ + " takes them");
  }
}

void MqttPublisher::Connect() {
  if (!Accepting() || mosq_) return;
  libraryError_.clear();
  disconnectCode_.reset();
  connack_.reset();
  refusal_.reset();
  broken_ = false;
  writeHeld_ = false;

  // A clean session, and a new client for each connection: the broker keeps nothing for us
  // and libmosquitto nothing between connections, so that what is sent again after a loss is
  // exactly what this queue holds unacknowledged, once, in order. (A kept session would have
  // the library and the broker send their own copies again too.)
  mosq_ = mosquitto_new(clientId_.c_str(), true, this);
  if (!mosq_) {
    libraryError_ = "cannot make an MQTT client (out of memory)";
    OnGone();
    return;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // No limit of its own: Feed() keeps kMqttInFlightLimit.
  mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, 0);
  mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnectCallback);
  mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnectCallback);
  mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublishCallback);
  mosquitto_message_callback_set(mosq_, &MqttPublisher::OnMessageCallback);
  mosquitto_log_callback_set(mosq_, &MqttPublisher::OnLogCallback);
  mosquitto_will_set(mosq_, statusTopic_.c_str(), static_cast<int>(kOffline.size()),
                     kOffline.data(), 1, true);
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

void MqttPublisher::OnReadable() {
  if (!mosq_) return;
  writeHeld_ = false;
  mosquitto_loop_read(mosq_, 1);
  Settle();
}

void MqttPublisher::OnWritable() {
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

void MqttPublisher::OnTick() {
  writeHeld_ = false;
  if (!mosq_) return;
  mosquitto_loop_misc(mosq_);  // the keep-alive; a connect unanswered within it fails here
  Settle();
}

void MqttPublisher::Settle() {
  while (mosq_) {
    while (!acknowledged_.empty()) {
      const int mid = acknowledged_.front();
      acknowledged_.pop_front();
      Acknowledge(mid);
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
    if (homeAssistantOnline_) {
      homeAssistantOnline_ = false;
      if (state_ == State::kConnected) PublishAllDiscovery();
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
        PublishNow(statusTopic_, QByteArray(kOffline.data(), kOffline.size()), &offlineMid_);
      }
    }
    if (!broken_) break;
  }
  SyncNotifiers();
}

void MqttPublisher::Acknowledge(int mid) {
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
    queue_.pop_front();
    --handed_;
  }
  if (queue_.empty()) dropSaid_ = false;
}

void MqttPublisher::OnConnected() {
  state_ = State::kConnected;
  failures_ = 0;
  if (outage_) {
    const auto away = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - outageSince_);
    std::string line = "MQTT: " + shownUrl_ + " is back after " + std::to_string(away.count()) +
                       " s; sending the " + std::to_string(queue_.size()) + " messages kept";
    if (droppedInOutage_ > 0) {
      line += "; " + std::to_string(droppedInOutage_) + " dropped while it was away (" +
              std::to_string(dropped_) + " in all)";
    }
    Log(line);
    outage_ = false;
  } else {
    Log("MQTT: connected to " + shownUrl_ + ", publishing under " + settings_.topicPrefix);
  }
  droppedInOutage_ = 0;
  dropSaid_ = false;
  PublishNow(statusTopic_, QByteArray(kOnline.data(), kOnline.size()));
  if (settings_.homeAssistant) {
    if (mosquitto_subscribe(mosq_, nullptr, kHomeAssistantStatus, 1) != MOSQ_ERR_SUCCESS) {
      broken_ = true;
    }
    PublishAllDiscovery();
  }
}

void MqttPublisher::OnGone() {
  const bool wasConnected = state_ == State::kConnected;
  DropNotifiers();
  if (mosq_) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  broken_ = false;
  acknowledged_.clear();
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
  if (refusal_) {
    state_ = State::kRefused;
    tick_.stop();
    const std::string reason = *refusal_;
    Log("MQTT: " + shownUrl_ + " refused the connection: " + reason);
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

void MqttPublisher::Feed() {
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

void MqttPublisher::PublishNow(const std::string& topic, const QByteArray& payload, int* mid) {
  errno = 0;
  const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.constData(), 1, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    disconnectCode_ = rc;
    disconnectErrno_ = errno;
    broken_ = true;
  }
}

void MqttPublisher::PublishDiscovery(int address, std::string_view quantityName) {
  const Sensor& quantity = quantityName == kVoltage.name() ? kVoltage : kResistance;
  const std::string site = IdOf(settings_.site);
  const std::string device = "karvello_" + site + "_" + std::to_string(address);
  const std::string id = device + "_" + std::string(quantity.name());
  const QString state = QString::fromStdString(
      settings_.topicPrefix + "/" + std::to_string(address) + "/" + std::string(quantity.name()));
  QJsonObject config{
      {"unique_id", QString::fromStdString(id)},
      {"object_id", QString::fromStdString(id)},
      {"name", QString::fromUtf8(quantity.entity.data(), quantity.entity.size())},
      {"state_topic", state},
      // A failed reading (null) and an over-range one ("OL") leave the sensor unknown; the
      // reading's result and time stay its attributes.
      {"value_template", "{{ value_json.value if value_json.value is number else None }}"},
      {"json_attributes_topic", state},
      {"unit_of_measurement", QString::fromUtf8(quantity.unit().data(), quantity.unit().size())},
      {"state_class", "measurement"},
      {"qos", 1},
      {"availability_topic", QString::fromStdString(statusTopic_)},
      {"payload_available", QString::fromUtf8(kOnline.data(), kOnline.size())},
      {"payload_not_available", QString::fromUtf8(kOffline.data(), kOffline.size())},
      {"device",
       QJsonObject{
           {"identifiers", QJsonArray{QString::fromStdString(device)}},
           {"name", QString::fromStdString("Grounding-resistance detector " +
                                           std::to_string(address) + " at " + settings_.site)},
           {"model", "Grounding-resistance online detector"},
       }},
  };
  if (!quantity.deviceClass.empty()) {
    config.insert("device_class",
                  QString::fromUtf8(quantity.deviceClass.data(), quantity.deviceClass.size()));
  }
  PublishNow("homeassistant/sensor/" + id + "/config", Compact(config));
}

void MqttPublisher::PublishAllDiscovery() {
  for (const auto& [address, quantity] : discovered_) {
    if (broken_) return;
    PublishDiscovery(address, quantity);
  }
}

void MqttPublisher::FinishStop() {
  stopTimer_.stop();
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
  std::size_t left = 0;
  for (const Message& message : queue_) left += message.acknowledged ? 0 : 1;
  if (left > 0) {
    Log("MQTT: " + std::to_string(left) + " messages not delivered to " + shownUrl_);
  }
  if (dropped_ > 0) {
    Log("MQTT: " + std::to_string(dropped_) + " messages dropped in all while " + shownUrl_ +
        " was away");
  }
  QMetaObject::invokeMethod(
      context_.get(),
      [this] {
        if (onStopped_) onStopped_();
      },
      Qt::QueuedConnection);
}

void MqttPublisher::SyncNotifiers() {
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

void MqttPublisher::DropNotifiers() {
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

void MqttPublisher::Log(const std::string& line) {
  if (onLog_) onLog_(line);
}

std::string MqttPublisher::Reason() const {
  if (!libraryError_.empty()) return libraryError_;
  if (!disconnectCode_) return "no answer";
  if (*disconnectCode_ == MOSQ_ERR_ERRNO && disconnectErrno_ != 0) {
    return std::strerror(disconnectErrno_);
  }
  return mosquitto_strerror(*disconnectCode_);
}

// The library calls these from inside its own calls: they only note, for Settle().
void MqttPublisher::OnConnectCallback(mosquitto*, void* self, int code) {
  static_cast<MqttPublisher*>(self)->connack_ = code;
}

void MqttPublisher::OnDisconnectCallback(mosquitto*, void* self, int code) {
  auto* publisher = static_cast<MqttPublisher*>(self);
  publisher->disconnectCode_ = code;
  publisher->disconnectErrno_ = errno;
}

void MqttPublisher::OnPublishCallback(mosquitto*, void* self, int mid) {
  static_cast<MqttPublisher*>(self)->acknowledged_.push_back(mid);
}

void MqttPublisher::OnMessageCallback(mosquitto*, void* self, const mosquitto_message* message) {
  const std::string_view payload(
      static_cast<const char*>(message->payload),
      message->payload ? static_cast<std::size_t>(message->payloadlen) : 0);
  if (std::strcmp(message->topic, kHomeAssistantStatus) == 0 && payload == kOnline) {
    static_cast<MqttPublisher*>(self)->homeAssistantOnline_ = true;
  }
}

void MqttPublisher::OnLogCallback(mosquitto*, void* self, int level, const char* text) {
  if (level & MOSQ_LOG_ERR) static_cast<MqttPublisher*>(self)->libraryError_ = text;
}

}  // namespace karvello::cli
