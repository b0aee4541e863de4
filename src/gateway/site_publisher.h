#pragma once
// The site's readings and alarms published to its broker: the site's schema sent by the MQTT
// client, with Home Assistant's discovery when asked for (each detector's sensor announced once
// it has answered, again at each connection and whenever Home Assistant starts).
//
// With the record as its outbox (UseRecord), nothing waiting is lost to a restart: it keeps
// beside the record how far the broker has acknowledged (published_point.h), and at its start
// publishes the watch's rows of the record after that, in order and with their own times
// (record_replay.h), before it goes on with the live ones. While it replays, a reading the record
// kept waits there for its turn; one it did not keep is queued at once. A full queue hands over
// to the replay the same way, so that what the record kept is never dropped.

#include <QDateTime>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "engine/outcome.h"
#include "gateway/mqtt_client.h"
#include "gateway/published_point.h"
#include "gateway/record_replay.h"
#include "gateway/site_schema.h"
#include "gateway/site_state.h"

namespace karvello::gateway {

struct SitePublisherSettings {
  MqttClientSettings client;  // clientId, presenceTopic and purpose are filled in from the site
  std::string site;           // SITE: in the Home Assistant names and ids, and the client id
  std::string topicPrefix;    // PREFIX, as TopicPrefix() makes it; empty: TopicPrefix(site)
  bool homeAssistant = false;
};

// Rows of the record queued at a time while replaying: the rest wait in the record, so that a
// replay takes little memory whatever it holds.
inline constexpr std::size_t kReplayBatch = 1000;
// The acknowledged place is written at each acknowledgement and brought to the disk at most this
// long after: a disk flush for each would take most of a replay's time.
inline constexpr std::chrono::milliseconds kPointSync{1000};

struct RecordOutbox {
  QString recordPath;     // the record the watch appends to
  std::string port;       // the watch's port as the record names it
  double limit = 0;       // the watch's alarm limit, for the alarms replayed
  ReplayBounds bounds;
  // Whether the record kept the reading or alarm just handed over; none: always.
  std::function<bool()> lastRowKept;
};

class SitePublisher {
 public:
  explicit SitePublisher(SitePublisherSettings settings);

  // Makes the record at `outbox.recordPath` the publisher's outbox; before Start.
  void UseRecord(RecordOutbox outbox);
  // The file that keeps how far the broker has acknowledged; empty without UseRecord.
  const QString& PointFilePath() const { return pointPath_; }
  // Whether rows of the record are still being replayed.
  bool Replaying() const { return replay_ != nullptr; }

  // Begins connecting (after counting what the record holds for the broker), and returns at once.
  void Start();
  // Queues a reading of a voltage or a resistance at `address` (1 to 255) on `port`. False, and
  // nothing queued, for another operation or address, or once stopping or refused.
  bool PublishReading(const Outcome& outcome, int address, std::string_view port,
                      const QDateTime& when);
  // Queues an alarm's change on its address's alarm topic. False once stopping or refused.
  bool PublishAlarm(const AlarmChange& change);
  // Ends cleanly: see MqttClient::Stop.
  void Stop() { client_.Stop(); }

  // Keeps `state`'s broker (connected, messages waiting, dropped) as the client stands: at once,
  // after each message queued, and each second. `state` must outlive the publisher.
  void ShowIn(SiteState& state);

  MqttClient& Client() { return client_; }
  const MqttClient& Client() const { return client_; }
  const SiteSchema& Schema() const { return schema_; }

 private:
  void Discover(const Outcome& outcome, int address);
  bool Queue(SiteMessage message, MqttMessageTag tag);
  // The tag of a message made from the record's `row`; no mark when the record did not keep it.
  MqttMessageTag TagOf(const RecordRow& row, bool kept);
  bool Kept() const;
  // Whether the queue is full with the record as the outbox: the replay then takes over.
  bool Overflowing();
  void BeginReplay();
  void Pump();
  void StartReplay(const RecordPoint& after);
  void Replay(const RecordRow& row);
  // Writes the place acknowledged; brought to the disk with `sync`, else within kPointSync.
  void KeepPoint(const std::string& text, bool sync);
  void Announce(int address, Quantity quantity);
  void AnnounceAll();
  void ShowBroker();

  SiteSchema schema_;
  bool homeAssistant_;
  MqttClient client_;
  std::set<std::pair<int, Quantity>> discovered_;  // address, quantity
  SiteState* state_ = nullptr;
  QTimer stateTimer_;

  std::optional<RecordOutbox> outbox_;
  QString pointPath_;
  std::unique_ptr<RecordReplay> replay_;
  RecordPoint lastQueued_;  // the last row of the record queued
  bool replayGave_ = false;  // the replay has given a row
  std::map<int, std::set<AlarmKind>> replayStanding_;  // by address, as the replay has gone
  QTimer pump_;
  QTimer pumpTick_;
  QTimer syncTimer_;
  std::string unsynced_;  // the place last written and not yet brought to the disk
  bool pointFailed_ = false;  // said once until the file is written again
};

}  // namespace karvello::gateway
