#include "gateway/site_publisher.h"

#include <QCoreApplication>
#include <algorithm>

#include "record/record_read.h"

namespace karvello::gateway {
namespace {

// The place of the record's last row: the record's start when it has none.
RecordPoint EndOf(const QString& recordPath) {
  RecordPoint end;
  constexpr std::int64_t kBound = 1024 * 1024;
  ReadRecordBack(
      recordPath, {},
      [&end](RecordRow&& row) {
        end = PointOf(row);
        return false;
      },
      kBound);
  return end;
}

std::string Count(std::uint64_t n) {
  return std::to_string(n);
}

MqttClientSettings ClientSettings(const SitePublisherSettings& settings, const SiteSchema& schema) {
  MqttClientSettings client = settings.client;
  client.clientId = ClientId(settings.site, QCoreApplication::applicationPid());
  client.presenceTopic = schema.StatusTopic();
  client.purpose = "publishing under " + schema.Prefix();
  return client;
}

}  // namespace

SitePublisher::SitePublisher(SitePublisherSettings settings)
    : schema_(settings.site, settings.topicPrefix),
      homeAssistant_(settings.homeAssistant),
      client_(ClientSettings(settings, schema_)) {
  client_.SetOnConnected([this] {
    if (!homeAssistant_) return;
    client_.Subscribe(std::string(kHomeAssistantStatusTopic));
    AnnounceAll();
  });
  client_.SetOnMessage([this](const std::string& topic, std::string_view payload) {
    if (homeAssistant_ && topic == kHomeAssistantStatusTopic && payload == kMqttOnline) {
      AnnounceAll();
    }
  });
}

void SitePublisher::UseRecord(RecordOutbox outbox) {
  outbox_ = std::move(outbox);
  pointPath_ = PointPath(outbox_->recordPath, outbox_->port, schema_.Prefix());
  pump_.setSingleShot(true);
  pump_.setInterval(0);
  QObject::connect(&pump_, &QTimer::timeout, [this] { Pump(); });
  syncTimer_.setSingleShot(true);
  QObject::connect(&syncTimer_, &QTimer::timeout, [this] {
    if (!unsynced_.empty()) KeepPoint(unsynced_, true);
  });
  // Besides after each acknowledgement: the queue may empty of messages the record did not keep.
  pumpTick_.setInterval(std::chrono::seconds(1));
  QObject::connect(&pumpTick_, &QTimer::timeout, [this] {
    if (replay_) Pump();
  });
  pumpTick_.start();
  client_.SetOnAcknowledged([this](const std::string& mark) {
    KeepPoint(mark, false);
    // Not from within the client's own call.
    if (replay_ && !pump_.isActive()) pump_.start();
  });
}

void SitePublisher::Start() {
  if (outbox_) BeginReplay();
  client_.Start();
}

bool SitePublisher::PublishReading(const Outcome& outcome, int address, std::string_view port,
                                   const QDateTime& when) {
  std::optional<SiteMessage> message = schema_.ReadingMessage(outcome, address, port, when);
  if (!message) return false;
  Discover(outcome, address);
  const bool kept = Kept();
  // The replay reaches it in the record, in its turn.
  if (kept && (replay_ || Overflowing())) return client_.Accepting();
  return Queue(std::move(*message), TagOf(RowOf(outcome, std::string(port), when), kept));
}

bool SitePublisher::PublishAlarm(const AlarmChange& change) {
  if (change.address < 1 || change.address > 255) return false;
  const bool kept = Kept();
  if (kept && (replay_ || Overflowing())) return client_.Accepting();
  MqttMessageTag tag = TagOf(RowOf(change, outbox_ ? outbox_->port : std::string()), kept);
  tag.alarm = true;
  return Queue(schema_.AlarmMessage(change), std::move(tag));
}

void SitePublisher::Discover(const Outcome& outcome, int address) {
  // A detector is announced once it has answered: an address that never did leaves nothing
  // behind in Home Assistant.
  const Quantity quantity = Describe(outcome.operation).quantity;
  if (homeAssistant_ && outcome.result == Result::kAnswered && client_.Accepting() &&
      discovered_.emplace(address, quantity).second && client_.Connected()) {
    Announce(address, quantity);
  }
}

bool SitePublisher::Queue(SiteMessage message, MqttMessageTag tag) {
  const bool queued = client_.Enqueue(std::move(message.topic), std::move(message.payload),
                                      std::move(tag));
  ShowBroker();
  return queued;
}

MqttMessageTag SitePublisher::TagOf(const RecordRow& row, bool kept) {
  MqttMessageTag tag;
  tag.alarm = row.kind == RecordRow::Kind::kAlarm;
  if (!outbox_ || !kept) return tag;
  lastQueued_ = PointOf(row);
  tag.mark = PointText(lastQueued_);
  return tag;
}

bool SitePublisher::Overflowing() {
  if (!outbox_ || client_.Queued() < client_.QueueLimit() || !client_.Accepting()) return false;
  // The queue is full: what follows waits in the record, sent from there as the queue empties,
  // rather than the oldest being dropped.
  StartReplay(lastQueued_);
  client_.Log("MQTT: the queue holds its " + Count(client_.QueueLimit()) +
              " messages: the readings that follow wait in the record");
  return true;
}

bool SitePublisher::Kept() const {
  return outbox_ && (!outbox_->lastRowKept || outbox_->lastRowKept());
}

void SitePublisher::BeginReplay() {
  const PointFile file = ReadPointFile(pointPath_);
  const std::string shown = pointPath_.toStdString();
  RecordPoint from;
  switch (file.state) {
    case PointFile::State::kMissing:
      // A first start: what the record holds was published before, if at all. From its end on.
      lastQueued_ = EndOf(outbox_->recordPath);
      client_.Log("MQTT: no acknowledged position kept yet (" + shown +
                  "): publishing from the record's end");
      KeepPoint(PointText(lastQueued_), true);
      return;
    case PointFile::State::kDamaged:
      client_.Log("MQTT: the acknowledged position in " + shown + " cannot be read (" +
                  file.problem + "): sending the record's rows within the replay's bounds again");
      break;
    case PointFile::State::kRead:
      from = file.point;
      break;
  }
  StartReplay(from);
  lastQueued_ = from;
  const std::uint64_t leftOut = replay_->TooOld() + replay_->OverCount();
  if (replay_->Waiting() > 0 || leftOut > 0) {
    const auto days = std::chrono::duration_cast<std::chrono::hours>(outbox_->bounds.age).count() / 24;
    std::string line = "MQTT: sending the " + Count(replay_->Waiting()) +
                       " readings and alarms of the record not yet acknowledged";
    if (leftOut > 0) {
      line += "; " + Count(leftOut) + " left out (" + Count(replay_->TooOld()) +
              " older than " + std::to_string(days) + " days, " + Count(replay_->OverCount()) +
              " past the newest " + Count(outbox_->bounds.count) + ")";
    }
    client_.Log(line);
  }
  Pump();
}

void SitePublisher::Pump() {
  while (replay_ && client_.Accepting() &&
         client_.Queued() < std::min(kReplayBatch, client_.QueueLimit())) {
    RecordRow row;
    if (replay_->Next(row)) {
      replayGave_ = true;
      Replay(row);
      continue;
    }
    // Read to its end. Rows appended since its files were opened, in a file begun after a setting
    // aside, are looked for once more; with none (or none given by the last look), the live
    // readings go straight to the queue from now on.
    if (!replayGave_) {
      replay_.reset();
      break;
    }
    StartReplay(lastQueued_);
    if (replay_->Waiting() == 0) replay_.reset();
  }
}

void SitePublisher::StartReplay(const RecordPoint& after) {
  replay_ = std::make_unique<RecordReplay>(outbox_->recordPath, outbox_->port, after,
                                           QDateTime::currentDateTime(), outbox_->bounds);
  replayGave_ = false;
  replayStanding_.clear();
}

void SitePublisher::Replay(const RecordRow& row) {
  if (row.kind == RecordRow::Kind::kAlarm) {
    // Which alarms stand is followed over the replayed rows; the other kind's state before the
    // first of them is not in these rows and is taken as not standing.
    std::set<AlarmKind>& standing = replayStanding_[row.address];
    if (row.raised) {
      standing.insert(row.alarmKind);
    } else {
      standing.erase(row.alarmKind);
    }
    const bool others = std::any_of(standing.begin(), standing.end(),
                                    [&](AlarmKind kind) { return kind != row.alarmKind; });
    Queue(schema_.AlarmMessage(AlarmChangeOf(row, outbox_->limit, others)), TagOf(row, true));
    return;
  }
  const Outcome outcome = OutcomeOf(row);
  std::optional<SiteMessage> message =
      schema_.ReadingMessage(outcome, row.address, row.port, row.time);
  if (!message) return;
  Discover(outcome, row.address);
  Queue(std::move(*message), TagOf(row, true));
}

void SitePublisher::KeepPoint(const std::string& text, bool sync) {
  std::string problem;
  if (!WritePointFile(pointPath_, text, sync, &problem)) {
    if (pointFailed_) return;
    pointFailed_ = true;
    client_.Log("MQTT: cannot keep the acknowledged position in " + pointPath_.toStdString() +
                " (" + problem + "): a restart would send again what followed it");
    return;
  }
  pointFailed_ = false;
  // What a crash of the program leaves is written already; what a power cut leaves is brought to
  // the disk within kPointSync.
  unsynced_ = sync ? std::string() : text;
  if (!sync && !syncTimer_.isActive()) syncTimer_.start(kPointSync);
}

void SitePublisher::ShowIn(SiteState& state) {
  state_ = &state;
  ShowBroker();
  stateTimer_.setInterval(std::chrono::seconds(1));
  QObject::connect(&stateTimer_, &QTimer::timeout, [this] { ShowBroker(); });
  stateTimer_.start();
}

void SitePublisher::ShowBroker() {
  if (!state_) return;
  state_->SetBroker({true, client_.Connected(), client_.Queued(), client_.Dropped()});
}

void SitePublisher::Announce(int address, Quantity quantity) {
  const SiteMessage sensor = schema_.DiscoveryMessage(address, quantity);
  client_.PublishDirect(sensor.topic, sensor.payload);
  if (quantity != Quantity::kResistance) return;
  const SiteMessage alarm = schema_.AlarmDiscoveryMessage(address);
  client_.PublishDirect(alarm.topic, alarm.payload);
}

void SitePublisher::AnnounceAll() {
  const SiteMessage status = schema_.StatusDiscoveryMessage();
  client_.PublishDirect(status.topic, status.payload);
  for (const auto& [address, quantity] : discovered_) Announce(address, quantity);
}

}  // namespace karvello::gateway
