#pragma once
// An MQTT client for the gateway: libmosquitto does the protocol, and this drives it from the Qt
// event loop (its socket in QSocketNotifiers, its keep-alive from a timer about once a second, no
// thread of its own), so that nothing here ever holds up a reading. Only the lookup of a host name
// can: libmosquitto resolves it with the blocking getaddrinfo() when it connects (at the start and
// at each retry), which takes microseconds for an address, milliseconds from /etc/hosts or a
// working resolver, and seconds when the DNS server is away; name the broker by its address, or
// give its name in /etc/hosts, on a gateway whose DNS is not sure.
//
// It knows nothing of detectors: it keeps an acknowledged queue of messages (QoS 1, retained),
// says its presence on one topic ("online" once connected, "offline" from a clean stop or, as the
// last will, from the broker when the connection is lost), and retries a broker it cannot reach.
// Nothing is lost to an outage: messages wait in the queue, in order, until the broker has
// acknowledged them (PUBACK); a full queue drops its oldest reading (an alarm only when it holds
// nothing else) and says how many. Each message may carry a mark, handed back once the broker
// has acknowledged it and every message before it.

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/mqtt_url.h"

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

namespace karvello::gateway {

// The messages kept while the broker cannot be reached: 9 hours of 3 detectors each read every
// 10 s, in 4.6 MB (karvello-bench-mqtt). Past it, the oldest reading is dropped; an alarm only
// from a queue of alarms alone, the oldest of them.
inline constexpr std::size_t kMqttQueueLimit = 10000;
// Messages sent and not yet acknowledged at any time: enough to fill a slow link, few enough
// that a lost connection leaves little to send again.
inline constexpr std::size_t kMqttInFlightLimit = 20;
// Retrying a broker that cannot be reached: after the first failure, then doubling to at most
// the last.
inline constexpr std::chrono::milliseconds kMqttFirstRetry{1000};
inline constexpr std::chrono::milliseconds kMqttLastRetry{60000};
// The MQTT keep-alive: a connection silent for 1.5 times this is taken for lost. libmosquitto
// takes no less than 5 s.
inline constexpr std::chrono::seconds kMqttKeepAlive{30};
// A broker that takes the connection and does not answer it (no CONNACK) within this long is
// given up, as one that cannot be reached, and tried again later.
inline constexpr std::chrono::milliseconds kMqttConnackTimeout{10000};
// A clean stop waits this long for the broker to take what is queued.
inline constexpr std::chrono::milliseconds kMqttStopWait{5000};

// The delay before the next try after `failures` (1 or more) failed tries in a row.
std::chrono::milliseconds MqttRetryDelay(int failures,
                                         std::chrono::milliseconds first = kMqttFirstRetry,
                                         std::chrono::milliseconds last = kMqttLastRetry);

// The presence payloads.
inline constexpr std::string_view kMqttOnline = "online";
inline constexpr std::string_view kMqttOffline = "offline";

// What the queue knows of a message besides its topic and payload.
struct MqttMessageTag {
  bool alarm = false;  // kept while the queue holds anything else to drop
  std::string mark;    // empty: none; else handed to the acknowledged handler
};

struct MqttClientSettings {
  MqttUrl broker;
  std::string caFile;         // mqtts: the CA to trust (a private one); empty: the system's CAs
  std::string clientId;       // unique among the broker's clients
  std::string presenceTopic;  // "online" / "offline" (retained), and the last will
  std::string purpose;        // for the log once connected: "publishing under karvello/site1"
  // For tests and slow links; as the constants above by default.
  std::chrono::seconds keepAlive = kMqttKeepAlive;
  std::chrono::milliseconds firstRetry = kMqttFirstRetry;
  std::chrono::milliseconds lastRetry = kMqttLastRetry;
  std::size_t queueLimit = kMqttQueueLimit;
  std::chrono::milliseconds stopWait = kMqttStopWait;
  std::chrono::milliseconds connackTimeout = kMqttConnackTimeout;
};

class MqttClient {
 public:
  // A line for standard error (without the program's name or a newline).
  using LogHandler = std::function<void(const std::string& line)>;

  explicit MqttClient(MqttClientSettings settings);
  // Without Stop(): the connection is dropped, and the broker publishes the last will.
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Begins connecting, and returns at once.
  void Start();

  // Queues a message (QoS 1, retained). False, and nothing queued, once stopping or refused
  // (then it is counted among those not delivered).
  bool Enqueue(std::string topic, QByteArray payload, MqttMessageTag tag = {});
  // Accepts messages to queue: not stopping, stopped or refused.
  bool Accepting() const;

  // While connected (from the connected and message handlers among others): publishes at once,
  // ahead of the queue (QoS 1, retained), or subscribes (QoS 1). A failure drops the connection,
  // which is then tried again.
  void PublishDirect(const std::string& topic, const QByteArray& payload);
  void Subscribe(const std::string& topic);

  // Ends cleanly: waits up to stopWait for the broker to acknowledge what is queued, publishes
  // "offline", disconnects, then calls the stopped handler (never before Stop returns). A
  // second call, or a broker not connected, ends at once.
  void Stop();

  // Called each time a connection is made, after "online": for subscriptions and messages that
  // go at every connection.
  void SetOnConnected(std::function<void()> handler) { onConnected_ = std::move(handler); }
  // A message on a subscribed topic.
  void SetOnMessage(std::function<void(const std::string& topic, std::string_view payload)> h) {
    onMessage_ = std::move(h);
  }
  // The broker refused the login, with its reason as libmosquitto words the CONNACK code
  // ("Connection Refused: not authorised."), or its TLS certificate could not be verified, with
  // OpenSSL's reason ("certificate has expired"): no further try is made.
  void SetOnRefused(std::function<void(const std::string& reason)> handler) {
    onRefused_ = std::move(handler);
  }
  void SetOnStopped(std::function<void()> handler) { onStopped_ = std::move(handler); }
  // The broker has acknowledged every message up to and including one marked `mark`, the last
  // marked one of those: called once for each step of that acknowledged start of the queue,
  // before anything further is sent.
  void SetOnAcknowledged(std::function<void(const std::string& mark)> handler) {
    onAcknowledged_ = std::move(handler);
  }
  // Default: standard error, "karvello-cli: " before each line.
  void SetOnLog(LogHandler handler) { onLog_ = std::move(handler); }

  // Says `line` through the log handler, as the client's own lines.
  void Log(const std::string& line);

  bool Connected() const { return state_ == State::kConnected; }
  bool Refused() const { return state_ == State::kRefused; }
  // The messages kept: waiting, or sent and not yet acknowledged.
  std::size_t Queued() const { return queue_.size(); }
  // The most the queue keeps.
  std::size_t QueueLimit() const { return std::max<std::size_t>(settings_.queueLimit, 1); }
  // Those sent and not yet acknowledged.
  std::size_t InFlight() const { return inFlight_; }
  std::uint64_t Delivered() const { return delivered_; }
  // The messages the broker has not acknowledged: those kept, and those refused after a refusal.
  std::uint64_t Undelivered() const;
  std::uint64_t Dropped() const { return dropped_; }
  // Alarms among those dropped (from a queue that held nothing else).
  std::uint64_t DroppedAlarms() const { return droppedAlarms_; }
  const std::string& PresenceTopic() const { return settings_.presenceTopic; }

 private:
  enum class State { kIdle, kWaiting, kConnecting, kConnected, kStopped, kRefused };
  struct Message {
    std::string topic;
    QByteArray payload;
    int mid = 0;  // the library's id once handed to it; 0 before
    bool acknowledged = false;
    MqttMessageTag tag;
  };
  struct Received {
    std::string topic;
    std::string payload;
  };

  void Connect();
  void OnReadable();
  void OnWritable();
  void OnTick();
  // After each call into the library: what its callbacks noted, then the notifiers.
  void Settle();
  void Acknowledge(int mid);
  void OnConnected();
  void OnGone();
  void Feed();
  void PublishNow(const std::string& topic, const QByteArray& payload, int* mid = nullptr);
  void FinishStop();
  void SyncNotifiers();
  void DropNotifiers();
  void Drop();
  std::string Reason() const;

  static void OnConnectCallback(mosquitto*, void* self, int code);
  static void OnDisconnectCallback(mosquitto*, void* self, int code);
  static void OnPublishCallback(mosquitto*, void* self, int mid);
  static void OnMessageCallback(mosquitto*, void* self, const mosquitto_message* message);
  static void OnLogCallback(mosquitto*, void* self, int level, const char* text);

  MqttClientSettings settings_;
  std::string shownUrl_;
  State state_ = State::kIdle;
  mosquitto* mosq_ = nullptr;

  // The children (notifiers) go with it; the timers' callbacks run in its name.
  std::unique_ptr<QObject> context_;
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  int notifiedSocket_ = -1;
  // Before the broker's answer, a socket stays writable while libmosquitto waits to read (its
  // TLS handshake, its connect): writing waits for the next read or tick instead of spinning.
  bool writeHeld_ = false;
  QTimer tick_;
  QTimer retry_;
  QTimer stopTimer_;
  QTimer connackTimer_;

  // Oldest first; the first handed_ went to the library, inFlight_ of them still awaiting their
  // acknowledgement (the others wait for those before them to leave the queue).
  std::deque<Message> queue_;
  std::size_t handed_ = 0;
  std::size_t inFlight_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t droppedAlarms_ = 0;
  std::string acknowledgedMark_;  // the last mark acknowledged, not yet handed on
  std::uint64_t droppedInOutage_ = 0;
  std::uint64_t notTaken_ = 0;  // messages not taken once the broker refused
  bool dropSaid_ = false;

  // What the library's callbacks noted, for Settle().
  std::optional<int> connack_;
  std::optional<int> disconnectCode_;
  int disconnectErrno_ = 0;
  std::deque<int> acknowledged_;
  std::deque<Received> received_;
  std::string libraryError_;
  std::optional<std::string> refusal_;  // the broker's reason for refusing the login
  std::optional<std::string> untrusted_;  // why its TLS certificate could not be verified
  bool broken_ = false;                 // a call failed: the connection is given up

  int failures_ = 0;
  bool outage_ = false;  // said on standard error, once for each outage
  std::chrono::steady_clock::time_point outageSince_;
  bool stopping_ = false;
  int offlineMid_ = 0;
  bool offlineSent_ = false;

  std::function<void()> onConnected_;
  std::function<void(const std::string&, std::string_view)> onMessage_;
  std::function<void(const std::string&)> onRefused_;
  std::function<void()> onStopped_;
  std::function<void(const std::string&)> onAcknowledged_;
  LogHandler onLog_;
};

}  // namespace karvello::gateway
