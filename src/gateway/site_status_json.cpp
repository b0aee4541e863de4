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

// The quantity's object, appended to `out`.
void AppendQuantity(std::string& out, Quantity quantity, const QuantityState& q, ViewClock& clock) {
  const bool read = WasRead(q);
  const std::string_view unit = FormOf(quantity).unit;
  out += "{\"time\":";
  out += Time(clock, q.lastTime);
  out += ",\"result\":";
  out += read ? JsonString(ResultName(q.lastResult)) : "null";
  out += ",\"value\":";
  out += Value(quantity, q.lastValue);
  out += ",\"overRange\":";
  out += q.lastValue ? JsonOverRangeText(ValueText(quantity, *q.lastValue)) : "false";
  out += ",\"valueText\":";
  out += q.lastValue ? JsonString(ValueText(quantity, *q.lastValue)) : "null";
  out += ",\"unit\":";
  out += JsonString(q.lastValue ? unit : "");
  out += ",\"age\":";
  out += read ? Seconds(clock.AgeSeconds(*q.lastTime)) : "null";
  out += ",\"old\":";
  out += Bool(clock.IsOld(q));
  out += ",\"goodTime\":";
  out += Time(clock, q.goodTime);
  out += ",\"goodValue\":";
  out += Value(quantity, q.goodValue);
  out += ",\"answered\":";
  out += std::to_string(q.answered);
  out += ",\"failed\":";
  out += std::to_string(q.failed);
  out += ",\"failuresInRow\":";
  out += std::to_string(q.failuresInRow);
  out += '}';
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
                     ",\"alarms\":" + std::to_string(site.AlarmsRaised()) +
                     ",\"noAnswerAlarms\":" + std::to_string(site.NoAnswerRaised()) +
                     ",\"detectors\":[";
  json.reserve(json.size() + site.detectors.size() * 700);
  bool first = true;
  for (const auto& [address, detector] : site.detectors) {
    if (!first) json += ',';
    first = false;
    json += "{\"address\":";
    json += std::to_string(address);
    json += ",\"alarm\":";
    json += Bool(detector.alarm);
    json += ",\"noAnswer\":";
    json += Bool(detector.noAnswer);
    json += ",\"asideSince\":";
    json += Time(clock, detector.asideSince);
    json += ",\"resistance\":";
    AppendQuantity(json, Quantity::kResistance, detector.resistance, clock);
    json += ",\"voltage\":";
    AppendQuantity(json, Quantity::kVoltage, detector.voltage, clock);
    json += '}';
  }
  return json + "]}";
}

}  // namespace karvello::gateway
