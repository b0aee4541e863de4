// The gateway's page, its JSON, its metrics and its health as plain functions of one site's
// state at one moment, and the answers its HTTP server gives each method and path; where it
// listens as the user gives it.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <regex>
#include <string>
#include <vector>

#include "gateway/site_health.h"
#include "gateway/site_http_answer.h"
#include "gateway/site_metrics.h"
#include "gateway/site_page.h"
#include "gateway/site_status_json.h"
#include "present/times.h"
#include "support/case_names.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;

const QDateTime kNow = QDateTime::fromString("2026-12-07T18:10:00.000+08:00", Qt::ISODateWithMs);
const ViewMoment kMoment{kNow, 60s};

QuantityState Read(int secondsAgo, Result result, std::optional<Reading> value = std::nullopt,
                   std::uint32_t inRow = 0) {
  QuantityState q;
  q.lastTime = kNow.addSecs(-secondsAgo);
  q.lastResult = result;
  if (result == Result::kAnswered) {
    q.lastValue = value;
    q.goodTime = q.lastTime;
    q.goodValue = value;
    q.answered = 5;
  } else {
    q.failed = inRow;
    q.failuresInRow = inRow;
    q.goodValue = value;  // an older good one, if any
    if (value) q.goodTime = kNow.addSecs(-3600);
  }
  return q;
}

// Three detectors: 3 answered 34.50 Ω and 220 V; 7 over range with its alarm standing; 9 never
// answered (no reply three times in a row); the line open, no broker, a record.
SiteSnapshot Site() {
  SiteSnapshot site;
  site.site = "site1";
  site.started = kNow.addSecs(-600);
  site.line = {"/dev/ttyUSB0", true, {}};
  site.record.path = "/var/lib/karvello/record.csv";
  site.detectors[3].resistance = Read(30, Result::kAnswered, Reading{3450, 2, false});
  site.detectors[3].voltage = Read(20, Result::kAnswered, Reading{220, 0, false});
  site.detectors[7].resistance = Read(25, Result::kAnswered, Reading{0, 0, true});
  site.detectors[7].alarm = true;
  site.detectors[9].voltage = Read(10, Result::kNoReply, std::nullopt, 3);
  return site;
}

QJsonObject Json(const SiteSnapshot& site, const ViewMoment& moment = kMoment) {
  QJsonParseError error{};
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray::fromStdString(StatusJson(site, moment)), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
  return document.object();
}

QJsonObject Detector(const QJsonObject& status, int address) {
  for (const QJsonValue& d : status["detectors"].toArray()) {
    if (d["address"].toInt() == address) return d.toObject();
  }
  return {};
}

TEST(SiteStatusJson, GivesTheSiteAndEachReadingAsTheCommandLineWritesIt) {
  const std::string text = StatusJson(Site(), kMoment);
  // The number as the detector gave it, not as a JSON library would shorten it.
  EXPECT_NE(text.find("\"value\":34.50,\"overRange\":false,\"valueText\":\"34.50\",\"unit\":\"Ω\""),
            std::string::npos);
  const QJsonObject status = Json(Site());
  EXPECT_EQ(status["site"].toString(), "site1");
  EXPECT_EQ(status["time"].toString(), "2026-12-07T18:10:00.000+08:00");
  EXPECT_EQ(status["every"].toDouble(), 60);
  EXPECT_EQ(status["line"].toObject()["address"].toString(), "/dev/ttyUSB0");
  EXPECT_TRUE(status["line"].toObject()["open"].toBool());
  EXPECT_TRUE(status["line"].toObject()["lostSince"].isNull());
  EXPECT_FALSE(status["broker"].toObject()["used"].toBool());
  EXPECT_TRUE(status["record"].toObject()["ok"].toBool());
  EXPECT_EQ(status["alarms"].toInt(), 1);
  ASSERT_EQ(status["detectors"].toArray().size(), 3);

  const QJsonObject three = Detector(status, 3);
  EXPECT_EQ(three["resistance"].toObject()["time"].toString(), "2026-12-07T18:09:30.000+08:00");
  EXPECT_EQ(three["resistance"].toObject()["result"].toString(), "answered");
  EXPECT_EQ(three["resistance"].toObject()["age"].toDouble(), 30);
  EXPECT_EQ(three["voltage"].toObject()["value"].toInt(), 220);
  EXPECT_EQ(three["voltage"].toObject()["unit"].toString(), "V");
  // Over range: no number, and said apart, as --format json says it.
  EXPECT_TRUE(Detector(status, 7)["resistance"].toObject()["value"].isNull());
  EXPECT_EQ(Detector(status, 7)["resistance"].toObject()["overRange"], true);
  EXPECT_EQ(Detector(status, 7)["resistance"].toObject()["valueText"], "OL");
  EXPECT_EQ(three["resistance"].toObject()["overRange"], false);
  EXPECT_TRUE(Detector(status, 7)["alarm"].toBool());
  const QJsonObject nine = Detector(status, 9);
  EXPECT_TRUE(nine["resistance"].toObject()["time"].isNull());
  EXPECT_TRUE(nine["resistance"].toObject()["result"].isNull());
  EXPECT_EQ(nine["voltage"].toObject()["result"].toString(), "no-reply");
  EXPECT_TRUE(nine["voltage"].toObject()["value"].isNull());
  EXPECT_EQ(nine["voltage"].toObject()["failuresInRow"].toInt(), 3);
}

TEST(SiteStatusJson, MarksAReadingOldAfterThreePeriods) {
  SiteSnapshot site = Site();
  for (const auto& [age, old] : {std::pair{180'000, false}, std::pair{180'001, true}}) {
    site.detectors[3].voltage.lastTime = kNow.addMSecs(-age);
    EXPECT_EQ(Detector(Json(site), 3)["voltage"].toObject()["old"].toBool(), old) << age << " ms";
  }
  site.line = {"/dev/ttyUSB0", false, kNow.addSecs(-5)};
  EXPECT_EQ(Json(site)["line"].toObject()["lostSince"].toString(), "2026-12-07T18:09:55.000+08:00");
}

// The samples of `name` in `text`, each "labels value".
std::vector<std::string> Samples(const std::string& text, const std::string& name) {
  std::vector<std::string> samples;
  const std::regex line("^" + name + "\\{([^}]*)\\} (\\S+)$", std::regex::multiline);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator();
       ++it) {
    samples.push_back((*it)[1].str() + " " + (*it)[2].str());
  }
  return samples;
}

TEST(SiteMetrics, HasASampleOnlyForWhatWasAnswered) {
  const std::string text = MetricsText(Site(), kMoment);
  using V = std::vector<std::string>;
  EXPECT_EQ(Samples(text, "karvello_resistance_ohms"),
            (V{"site=\"site1\",address=\"3\" 34.5", "site=\"site1\",address=\"7\" +Inf"}));
  EXPECT_EQ(Samples(text, "karvello_voltage_volts"), (V{"site=\"site1\",address=\"3\" 220"}));
  EXPECT_EQ(Samples(text, "karvello_reading_ok"),
            (V{"site=\"site1\",address=\"3\",quantity=\"resistance\" 1",
               "site=\"site1\",address=\"3\",quantity=\"voltage\" 1",
               "site=\"site1\",address=\"7\",quantity=\"resistance\" 1",
               "site=\"site1\",address=\"9\",quantity=\"voltage\" 0"}));
  EXPECT_EQ(Samples(text, "karvello_readings_total")[6],
            "site=\"site1\",address=\"9\",quantity=\"voltage\",result=\"answered\" 0");
  EXPECT_EQ(Samples(text, "karvello_readings_total")[7],
            "site=\"site1\",address=\"9\",quantity=\"voltage\",result=\"failed\" 3");
  EXPECT_EQ(Samples(text, "karvello_reading_age_seconds")[0],
            "site=\"site1\",address=\"3\",quantity=\"resistance\" 30");
  EXPECT_EQ(Samples(text, "karvello_alarm")[1], "site=\"site1\",address=\"7\" 1");
  EXPECT_EQ(Samples(text, "karvello_line_up"), (V{"site=\"site1\" 1"}));
  EXPECT_EQ(Samples(text, "karvello_record_ok"), (V{"site=\"site1\" 1"}));
  // No broker: none of its metrics.
  EXPECT_EQ(text.find("karvello_mqtt"), std::string::npos);
  // Each family written has its HELP and TYPE lines, once.
  for (const char* family : {"karvello_resistance_ohms", "karvello_readings_total"}) {
    EXPECT_NE(text.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
    EXPECT_NE(text.find(std::string("# TYPE ") + family + " "), std::string::npos) << family;
  }
}

TEST(SiteMetrics, GivesTheBrokerAndEscapesTheSiteName) {
  SiteSnapshot site = Site();
  site.site = "a\"b\\c\nd";
  site.broker = {true, false, 12, 4};
  site.record.failing = true;
  const std::string text = MetricsText(site, kMoment);
  const std::string label = "site=\"a\\\"b\\\\c\\nd\"";
  using V = std::vector<std::string>;
  EXPECT_EQ(Samples(text, "karvello_mqtt_connected"), (V{label + " 0"}));
  EXPECT_EQ(Samples(text, "karvello_mqtt_queue_messages"), (V{label + " 12"}));
  EXPECT_EQ(Samples(text, "karvello_mqtt_dropped_total"), (V{label + " 4"}));
  EXPECT_EQ(Samples(text, "karvello_record_ok"), (V{label + " 0"}));
}

struct HealthCase {
  const char* name;
  void (*change)(SiteSnapshot& site);
  bool well;
  const char* text;
};

class SiteHealthCases : public ::testing::TestWithParam<HealthCase> {};

TEST_P(SiteHealthCases, AnswerAsTheLineAndTheLastRoundStand) {
  SiteSnapshot site = Site();
  GetParam().change(site);
  const Health health = HealthOf(site, kMoment);
  EXPECT_EQ(health.well, GetParam().well);
  EXPECT_EQ(health.text, GetParam().text);
}

// The readings at 3 and 7 made 71 s ago, 61 s before the failed one at 9, but the resistance at 3
// made `resistanceAgo`.
template <int resistanceAgo>
void LastRound(SiteSnapshot& s) {
  s.detectors[3].resistance.lastTime = kNow.addSecs(-resistanceAgo);
  s.detectors[3].voltage.lastTime = kNow.addSecs(-71);
  s.detectors[7].resistance.lastTime = kNow.addSecs(-71);
}

const HealthCase kHealthCases[] = {
    {"well", [](SiteSnapshot&) {}, true, "ok"},
    {"line lost",
     [](SiteSnapshot& s) {
       s.line = {"/dev/ttyUSB0", false, kNow.addSecs(-5)};
     },
     false, "the line /dev/ttyUSB0 is lost since 2026-12-07 18:09:55"},
    {"nothing read yet", [](SiteSnapshot& s) { s.detectors.clear(); }, false,
     "no reading made yet"},
    // The last round: the readings within one period of the latest (10 s ago), all failed; the
    // answered ones 61 s before it belong to the round before.
    {"last round failed", LastRound<71>, false, "no reading of the last round was answered"},
    {"one answered within the period", LastRound<69>, true, "ok"},
};

INSTANTIATE_TEST_SUITE_P(Cases, SiteHealthCases, ::testing::ValuesIn(kHealthCases),
                         test::CaseName());

// The rows' addresses in their order, each standing alarm's marked "!".
std::string RowOrder(const std::string& page) {
  const std::regex rows("<tr data-address=\"(\\d+)\"( class=\"alarm\")?>");
  std::string order;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), rows); it != std::sregex_iterator();
       ++it) {
    order += (*it)[1].str() + ((*it)[2].matched ? "!" : "") + " ";
  }
  return order;
}

// The text of the cell of `kind` in the row of `address`.
std::string CellOf(const std::string& page, int address, const std::string& kind) {
  const std::regex cell("<tr data-address=\"" + std::to_string(address) +
                        "\"[^>]*>.*?<td data-label=\"[^\"]*\" class=\"" + kind +
                        "( [a-z]+)?\">([^<]*)</td>");
  std::smatch match;
  if (!std::regex_search(page, match, cell)) return "(none)";
  return match[2].str() + (match[1].matched ? " [" + match[1].str().substr(1) + "]" : "");
}

TEST(SitePage, ShowsEachReadingInTheWindowsWords) {
  SiteSnapshot site = Site();
  site.detectors[3].voltage.lastTime = kNow.addMSecs(-180'001);  // old
  const std::string page = PageHtml(site, kMoment);
  const struct {
    int address;
    const char* kind;
    const char* text;
  } cells[] = {
      {3, "r", "34.50 Ω"},
      {3, "rt", "2026-12-07 18:09:30（30 秒前）"},
      {3, "v", "220 V [old]"},
      {3, "vt", "2026-12-07 18:06:59（3 分钟前） [old]"},
      {3, "a", "—"},
      {7, "r", "OL（超出量程）"},
      {7, "a", "高于上限"},
      {9, "r", "—"},
      {9, "v", "查询失败！（连续 3 次） [failed]"},
  };
  for (const auto& c : cells) {
    EXPECT_EQ(CellOf(page, c.address, c.kind), c.text) << c.address << " " << c.kind;
  }
  // The standing alarm first, marked; the others by address.
  EXPECT_EQ(RowOrder(page), "7! 3 9 ");
  EXPECT_NE(page.find("/dev/ttyUSB0 已打开"), std::string::npos);
  EXPECT_NE(page.find("1 个检测器的接地电阻高于上限"), std::string::npos);
  EXPECT_NE(page.find("更新于 2026-12-07 18:10:00"), std::string::npos);
  // The script asks again every 3 s.
  EXPECT_NE(page.find(",\"every\":3000,"), std::string::npos);
}

// A detector set aside: not answering since then, on the page (its alarm cell, at the top) and in
// the JSON, its no-answer alarm counted apart from the limits'.
TEST(SitePage, ShowsADetectorSetAsideAsNotAnsweringSinceThen) {
  SiteSnapshot site = Site();
  site.detectors[9].noAnswer = true;
  site.detectors[9].asideSince = kNow.addSecs(-300);
  const std::string page = PageHtml(site, kMoment);
  EXPECT_EQ(CellOf(page, 9, "a"), "无应答，自 2026-12-07 18:05:00");
  EXPECT_EQ(RowOrder(page), "7! 9! 3 ");
  EXPECT_NE(page.find("1 个检测器的接地电阻高于上限；1 个检测器无应答"), std::string::npos);
  site.detectors[7].noAnswer = true;  // both kinds at one address
  EXPECT_EQ(CellOf(PageHtml(site, kMoment), 7, "a"), "高于上限；无应答");

  const QJsonObject status = Json(site);
  EXPECT_EQ(status["alarms"].toInt(), 1);
  EXPECT_EQ(status["noAnswerAlarms"].toInt(), 2);
  EXPECT_TRUE(Detector(status, 9)["noAnswer"].toBool());
  EXPECT_EQ(Detector(status, 9)["asideSince"].toString(), "2026-12-07T18:05:00.000+08:00");
  EXPECT_TRUE(Detector(status, 3)["asideSince"].isNull());
  EXPECT_FALSE(Detector(status, 3)["noAnswer"].toBool());
}

TEST(SitePage, EscapesWhatTheUserNamedAndLoadsNothingFromElsewhere) {
  SiteSnapshot site = Site();
  site.site = "<script>alert(1)</script>";
  site.line = {"rtu+tcp://x\"'&:4001", false, kNow.addSecs(-5)};
  site.record.failing = true;
  site.record.rowsNotKept = 4;
  const std::string page = PageHtml(site, kMoment);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("&#60;script&#62;alert(1)&#60;/script&#62;"), std::string::npos);
  EXPECT_NE(page.find("rtu+tcp://x&#34;&#39;&#38;:4001 已断开，自 2026-12-07 18:09:55"),
            std::string::npos);
  EXPECT_NE(page.find("无法写入记录文件</span>，4 行结果未记入记录"), std::string::npos);
  for (const char* external : {"src=", "href=", "@import", "url(", "http:", "https:"}) {
    EXPECT_EQ(page.find(external), std::string::npos) << external;
  }
}

// The view's times, looked up once an hour, written as TimeText and DisplayTime write them, in
// a time zone with summer time: through the hour that goes forward and the one that comes twice.
TEST(ViewClockTimes, AreWrittenAsEverywhereElseThroughSummerTime) {
  // The zone is put back however the test ends, so that a failed check leaves the later tests
  // in the machine's zone.
  struct Zone {
    QByteArray was = qgetenv("TZ");
    Zone() { Set("Europe/Berlin"); }
    ~Zone() { Set(was); }
    static void Set(const QByteArray& zone) {
      zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
      tzset();
    }
  } berlin;
  const qint64 start = QDateTime(QDate(2026, 3, 29), QTime(0, 0)).toMSecsSinceEpoch();
  const qint64 autumn = QDateTime(QDate(2026, 10, 25), QTime(0, 0)).toMSecsSinceEpoch();
  ViewClock clock({QDateTime::fromMSecsSinceEpoch(autumn + 6 * 3600'000), 60s});
  int checked = 0;
  for (const qint64 from : {start, autumn}) {
    for (qint64 ms = from; ms < from + 5 * 3600'000; ms += 7 * 60'000 + 1) {
      const QDateTime when = QDateTime::fromMSecsSinceEpoch(ms);
      ASSERT_EQ(clock.TimeText(when), TimeText(when)) << ms;
      ASSERT_EQ(clock.DisplayText(when), DisplayTime(when).toStdString()) << ms;
      ASSERT_EQ(clock.Epoch(when), ms) << TimeText(when);
      ++checked;
    }
  }
  EXPECT_GT(checked, 80);
}

struct RouteCase {
  const char* name;
  const char* method;
  const char* path;
  int status;
  const char* contentType;  // its start
  bool asksTheSite;
};

class SiteHttpRoutes : public ::testing::TestWithParam<RouteCase> {};

TEST_P(SiteHttpRoutes, AnswerOnlyGetAndHeadOnTheirPaths) {
  const RouteCase& c = GetParam();
  int asked = 0;
  const HttpAnswer answer = AnswerRequest(
      c.method, c.path, [&] { return ++asked, Site(); }, kMoment);
  EXPECT_EQ(answer.status, c.status);
  EXPECT_TRUE(answer.contentType.starts_with(c.contentType)) << answer.contentType;
  EXPECT_EQ(asked, c.asksTheSite ? 1 : 0);
  const auto allow = std::find_if(answer.headers.begin(), answer.headers.end(),
                                  [](const auto& h) { return h.first == "Allow"; });
  EXPECT_EQ(allow != answer.headers.end(), c.status == 405);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SiteHttpRoutes,
    ::testing::Values(
        RouteCase{"page", "GET", "/", 200, "text/html", true},
        RouteCase{"page head", "HEAD", "/", 200, "text/html", true},
        RouteCase{"status", "GET", "/api/status", 200, "application/json", true},
        RouteCase{"metrics", "GET", "/metrics", 200, "text/plain; version=0.0.4", true},
        RouteCase{"health", "GET", "/healthz", 200, "text/plain", true},
        RouteCase{"post", "POST", "/", 405, "text/plain", false},
        RouteCase{"delete status", "DELETE", "/api/status", 405, "text/plain", false},
        RouteCase{"options", "OPTIONS", "/metrics", 405, "text/plain", false},
        RouteCase{"other path", "GET", "/etc/passwd", 404, "text/plain", false},
        RouteCase{"status with a slash", "GET", "/api/status/", 404, "text/plain", false},
        RouteCase{"index file", "GET", "/index.html", 404, "text/plain", false}),
    test::CaseName());

}  // namespace
}  // namespace karvello::gateway
