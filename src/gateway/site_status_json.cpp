#include "gateway/site_status_json.h"

#include <cstdio>

#include "present/json_text.h"
#include "present/reading_fields.h"

namespace karvello::gateway {
namespace {

std::string Time(ViewClock& clock, const std::optional<QDateTime>& when) {
  return when && when->isValid() ? JsonString(clock.TimeText(*when)) : "null";
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

std::string QuantityJson(Quantity quantity, const QuantityState& q, ViewClock& clock) {
  const bool read = WasRead(q);
  const std::string_view unit = FormOf(quantity).unit;
  return "{\"time\":" + Time(clock, q.lastTime) +
         ",\"result\":" + (read ? JsonString(ResultName(q.lastResult)) : "null") +
         ",\"value\":" + Value(quantity, q.lastValue) + ",\"valueText\":" +
         (q.lastValue ? JsonString(ValueText(quantity, *q.lastValue)) : "null") +
         ",\"unit\":" + JsonString(q.lastValue ? unit : "") +
         ",\"age\":" + (read ? Seconds(clock.AgeSeconds(*q.lastTime)) : "null") +
         ",\"old\":" + Bool(clock.IsOld(q)) + ",\"goodTime\":" + Time(clock, q.goodTime) +
         ",\"goodValue\":" + Value(quantity, q.goodValue) +
         ",\"answered\":" + std::to_string(q.answered) + ",\"failed\":" + std::to_string(q.failed) +
         ",\"failuresInRow\":" + std::to_string(q.failuresInRow) + "}";
}

}  // namespace

std::string StatusJson(const SiteSnapshot& site, const ViewMoment& moment) {
  ViewClock clock(moment);
  const std::optional<bool> round = LastRoundAnswered(site, clock);
  std::string json = "{\"site\":" + JsonString(site.site) + ",\"time\":" + Time(clock, moment.now) +
                     ",\"started\":" + Time(clock, site.started) +
                     ",\"every\":" + Seconds(static_cast<double>(moment.every.count()) / 1000) +
                     ",\"line\":{\"address\":" + JsonString(site.line.address) +
                     ",\"open\":" + Bool(site.line.open) +
                     ",\"lostSince\":" + Time(clock, site.line.lostSince) + "}" +
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
            QuantityJson(Quantity::kResistance, detector.resistance, clock) +
            ",\"voltage\":" + QuantityJson(Quantity::kVoltage, detector.voltage, clock) + "}";
  }
  return json + "]}";
}

}  // namespace karvello::gateway
