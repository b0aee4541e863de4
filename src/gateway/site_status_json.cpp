#include "gateway/site_status_json.h"

#include <cstdio>

#include "present/json_text.h"
#include "present/reading_fields.h"
#include "present/times.h"

namespace karvello::gateway {
namespace {

std::string Time(const std::optional<QDateTime>& when) {
  return when && when->isValid() ? JsonString(TimeText(*when)) : "null";
}

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string Value(Quantity quantity, const std::optional<Reading>& value) {
  return value ? JsonValueText(ValueText(quantity, *value)) : "null";
}

std::string QuantityJson(Quantity quantity, const QuantityState& q, const ViewMoment& moment) {
  const bool read = WasRead(q);
  const std::string_view unit = FormOf(quantity).unit;
  return "{\"time\":" + Time(q.lastTime) +
         ",\"result\":" + (read ? JsonString(ResultName(q.lastResult)) : "null") +
         ",\"value\":" + Value(quantity, q.lastValue) + ",\"valueText\":" +
         (q.lastValue ? JsonString(ValueText(quantity, *q.lastValue)) : "null") +
         ",\"unit\":" + JsonString(q.lastValue ? unit : "") +
         ",\"age\":" + (read ? Seconds(AgeSeconds(*q.lastTime, moment)) : "null") +
         ",\"old\":" + Bool(IsOld(q, moment)) + ",\"goodTime\":" + Time(q.goodTime) +
         ",\"goodValue\":" + Value(quantity, q.goodValue) +
         ",\"answered\":" + std::to_string(q.answered) + ",\"failed\":" + std::to_string(q.failed) +
         ",\"failuresInRow\":" + std::to_string(q.failuresInRow) + "}";
}

}  // namespace

std::string StatusJson(const SiteSnapshot& site, const ViewMoment& moment) {
  const std::optional<bool> round = LastRoundAnswered(site, moment);
  std::string json = "{\"site\":" + JsonString(site.site) + ",\"time\":" + Time(moment.now) +
                     ",\"started\":" + Time(site.started) +
                     ",\"every\":" + Seconds(static_cast<double>(moment.every.count()) / 1000) +
                     ",\"line\":{\"address\":" + JsonString(site.line.address) +
                     ",\"open\":" + Bool(site.line.open) +
                     ",\"lostSince\":" + Time(site.line.lostSince) + "}" +
                     ",\"broker\":{\"used\":" + Bool(site.broker.used) +
                     ",\"connected\":" + Bool(site.broker.connected) +
                     ",\"queued\":" + std::to_string(site.broker.queued) +
                     ",\"dropped\":" + std::to_string(site.broker.dropped) + "}" +
                     ",\"record\":{\"path\":" +
                     (site.record.path.isEmpty() ? "null"
                                                 : JsonString(site.record.path.toStdString())) +
                     ",\"ok\":" + Bool(!site.record.path.isEmpty() && !site.record.failing) +
                     ",\"rowsNotKept\":" + std::to_string(site.record.rowsNotKept) + "}" +
                     ",\"lastRoundAnswered\":" + (round ? Bool(*round) : "null") +
                     ",\"alarms\":" + std::to_string(site.AlarmsRaised()) + ",\"detectors\":[";
  bool first = true;
  for (const auto& [address, detector] : site.detectors) {
    if (!first) json += ',';
    first = false;
    json += "{\"address\":" + std::to_string(address) + ",\"alarm\":" + Bool(detector.alarm) +
            ",\"resistance\":" +
            QuantityJson(Quantity::kResistance, detector.resistance, moment) +
            ",\"voltage\":" + QuantityJson(Quantity::kVoltage, detector.voltage, moment) + "}";
  }
  return json + "]}";
}

}  // namespace karvello::gateway
