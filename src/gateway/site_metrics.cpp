#include "gateway/site_metrics.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace karvello::gateway {
namespace {

// A label's value with backslash, double quote and line end escaped.
std::string LabelValue(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

// One metric: its HELP and TYPE lines, then its samples.
class Family {
 public:
  Family(const char* name, const char* type, const char* help) : name_(name) {
    text_ = std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value) {
    text_ += name_;
    text_ += '{';
    text_ += labels;
    text_ += "} ";
    text_ += Number(value);
    text_ += '\n';
    ++samples_;
  }
  // Only a family with samples is written.
  void AppendTo(std::string& out) const {
    if (samples_ > 0) out += text_;
  }

 private:
  std::string name_;
  std::string text_;
  int samples_ = 0;
};

}  // namespace

std::string MetricsText(const SiteSnapshot& site, const ViewMoment& moment) {
  Family resistance("karvello_resistance_ohms", "gauge",
                    "The last answered resistance of the detector, in ohms (+Inf over range).");
  Family voltage("karvello_voltage_volts", "gauge",
                 "The last answered voltage of the detector, in volts.");
  Family age("karvello_reading_age_seconds", "gauge",
             "Seconds since the last reading of the quantity, answered or not.");
  Family ok("karvello_reading_ok", "gauge", "1 if the last reading of the quantity was answered.");
  Family total("karvello_readings_total", "counter",
               "Readings of the quantity since the watch started, by result.");
  Family alarm("karvello_alarm", "gauge", "1 while the resistance limit's alarm stands.");
  Family lineUp("karvello_line_up", "gauge", "1 while the line to the detectors is open.");
  Family connected("karvello_mqtt_connected", "gauge", "1 while the MQTT broker is connected.");
  Family queue("karvello_mqtt_queue_messages", "gauge",
               "Messages waiting to be sent to the MQTT broker.");
  Family dropped("karvello_mqtt_dropped_total", "counter",
                 "Messages dropped because the queue for the MQTT broker was full.");
  Family record("karvello_record_ok", "gauge", "1 while the record is written.");

  ViewClock clock(moment);
  const std::string siteLabel = "site=\"" + LabelValue(site.site) + "\"";
  for (const auto& [address, detector] : site.detectors) {
    const std::string at = siteLabel + ",address=\"" + std::to_string(address) + "\"";
    const struct {
      const QuantityState& state;
      std::string_view name;
      Family& value;
    } quantities[] = {{detector.resistance, "resistance", resistance},
                      {detector.voltage, "voltage", voltage}};
    for (const auto& q : quantities) {
      if (!WasRead(q.state)) continue;
      const std::string labels = at + ",quantity=\"" + std::string(q.name) + "\"";
      if (q.state.goodValue) q.value.Sample(at, ValueNumber(*q.state.goodValue));
      age.Sample(labels, clock.AgeSeconds(*q.state.lastTime));
      ok.Sample(labels, q.state.lastResult == Result::kAnswered ? 1 : 0);
      total.Sample(labels + ",result=\"answered\"", static_cast<double>(q.state.answered));
      total.Sample(labels + ",result=\"failed\"", static_cast<double>(q.state.failed));
    }
    alarm.Sample(at, detector.alarm ? 1 : 0);
  }
  lineUp.Sample(siteLabel, site.line.open ? 1 : 0);
  if (site.broker.used) {
    connected.Sample(siteLabel, site.broker.connected ? 1 : 0);
    queue.Sample(siteLabel, static_cast<double>(site.broker.queued));
    dropped.Sample(siteLabel, static_cast<double>(site.broker.dropped));
  }
  if (!site.record.path.isEmpty()) record.Sample(siteLabel, site.record.failing ? 0 : 1);

  std::string text;
  text.reserve(1024 + site.detectors.size() * 1024);
  for (const Family* family : {&resistance, &voltage, &age, &ok, &total, &alarm, &lineUp,
                               &connected, &queue, &dropped, &record}) {
    family->AppendTo(text);
  }
  return text;
}

}  // namespace karvello::gateway
