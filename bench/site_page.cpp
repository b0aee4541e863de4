// karvello-bench-page: the gateway's page and what it costs.
//
//   karvello-bench-page [--rounds N] [--help]
//
// 1. /api/status, /metrics and / made from the state of 255 detectors (both quantities read,
//    every tenth with its alarm standing, every seventh's last reading failed), 1000 times each.
// 2. The real karvello-cli watch --http reads the simulated detector on a pseudo-terminal every
//    100 ms: N rounds alone, then N rounds while 50 clients (threads here, one connection a
//    request) ask /api/status ten times a second each; the lateness of each round's time stamp
//    against its slot (the first stamp plus n periods), in one run of the watch.
// 3. The page's first paint in headless Chromium (a DevTools pipe, no port): from the request's
//    start to the first contentful paint, by the page's own Performance API, 10 loads.

#include <httplib.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/stats.h"
#include "gateway/site_metrics.h"
#include "gateway/site_page.h"
#include "gateway/site_status_json.h"
#include "sim/simulated_detector.h"
#include "support/free_port.h"
#include "support/headless_chromium.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using gateway::SiteSnapshot;

SiteSnapshot FullSite(const QDateTime& now) {
  SiteSnapshot site;
  site.site = "bench";
  site.started = now.addSecs(-3600);
  site.line = {"/dev/ttyUSB0", true, {}};
  site.broker = {true, true, 3, 0};
  site.record.path = "/var/lib/karvello/record.csv";
  for (int address = 1; address <= 255; ++address) {
    gateway::DetectorState& d = site.detectors[address];
    for (auto* q : {&d.resistance, &d.voltage}) {
      q->lastTime = now.addSecs(-address);
      q->goodTime = q->lastTime;
      q->goodValue = Reading{static_cast<unsigned>(1000 + address), 2, false};
      q->answered = 100;
      q->lastResult = address % 7 == 0 ? Result::kNoReply : Result::kAnswered;
      if (q->lastResult == Result::kAnswered) q->lastValue = q->goodValue;
    }
    d.alarm = address % 10 == 0;
  }
  return site;
}

void Renderers() {
  const QDateTime now = QDateTime::currentDateTime();
  const SiteSnapshot site = FullSite(now);
  const gateway::ViewMoment moment{now, 60s};
  const struct {
    const char* name;
    std::string (*make)(const SiteSnapshot&, const gateway::ViewMoment&);
  } renderers[] = {{"/api/status, 255 detectors", gateway::StatusJson},
                   {"/metrics, 255 detectors", gateway::MetricsText},
                   {"/ (the page), 255 detectors", gateway::PageHtml}};
  for (const auto& r : renderers) {
    std::vector<double> ms;
    std::size_t bytes = 0;
    for (int i = 0; i < 1000; ++i) {
      const auto start = Clock::now();
      bytes = r.make(site, moment).size();
      ms.push_back(Ms(Clock::now() - start));
    }
    PrintSummary(std::string(r.name) + " (" + std::to_string(bytes / 1024) + " KiB)", ms, "ms");
  }
}

// The lateness (ms) of the rounds `from` to `to` among `stamps`: each in the last slot due before
// it (the first stamp plus n periods); the slots left out (a round left out, as the watch leaves
// out a round whose time has passed) are counted in `skipped`.
std::vector<double> Lateness(const std::vector<QDateTime>& stamps, std::size_t from,
                             std::size_t to, qint64 everyMs, int& skipped) {
  std::vector<double> late;
  skipped = 0;
  qint64 slotBefore = -1;
  for (std::size_t n = from; n < to && n < stamps.size(); ++n) {
    const qint64 since = stamps[0].msecsTo(stamps[n]);
    const qint64 slot = since / everyMs;
    if (slotBefore >= 0 && slot > slotBefore + 1) skipped += static_cast<int>(slot - slotBefore - 1);
    slotBefore = slot;
    late.push_back(static_cast<double>(since - slot * everyMs));
  }
  return late;
}

void RoundsWithClients(int rounds) {
  sim::SimulatedDetector detector;
  const std::uint16_t port = testing::FreePort();
  QProcess watch;
  watch.start(QStringLiteral(KARVELLO_CLI_PATH),
              {"watch", "-p", QString::fromStdString(detector.SlavePath()), "-a", "1", "--every",
               "100ms", "--format", "json", "--no-record", "--http",
               "127.0.0.1:" + QString::number(port)});
  watch.waitForStarted();
  QByteArray out;
  const auto linesSoFar = [&] {
    watch.waitForReadyRead(50);
    out += watch.readAllStandardOutput();
    return static_cast<int>(out.count('\n'));
  };
  while (linesSoFar() < rounds) {
  }
  std::atomic<bool> polling{true};
  std::atomic<long> answers{0};
  std::atomic<long> failures{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 50; ++i) {
    clients.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      while (polling) {
        const auto asked = Clock::now();
        const auto answer = client.Get("/api/status");
        (answer && answer->status == 200 ? answers : failures)++;
        std::this_thread::sleep_until(asked + 100ms);
      }
    });
  }
  const int withClientsFrom = linesSoFar();
  while (linesSoFar() < withClientsFrom + rounds) {
  }
  polling = false;
  for (std::thread& client : clients) client.join();
  watch.terminate();
  watch.waitForFinished();
  out += watch.readAllStandardOutput();
  std::vector<QDateTime> stamps;
  for (const QByteArray& line : out.split('\n')) {
    if (line.isEmpty()) continue;
    stamps.push_back(QDateTime::fromString(QJsonDocument::fromJson(line).object()["time"].toString(),
                                           Qt::ISODateWithMs));
  }
  int skipped = 0;
  PrintSummary("round lateness, no client", Lateness(stamps, 1, rounds, 100, skipped), "ms");
  std::printf("  rounds left out: %d\n", skipped);
  PrintSummary("round lateness, 50 clients polling",
               Lateness(stamps, static_cast<std::size_t>(withClientsFrom) + 1,
                        static_cast<std::size_t>(withClientsFrom + rounds), 100, skipped),
               "ms");
  std::printf("  rounds left out: %d\n", skipped);
  std::printf("%ld answers to the clients, %ld failed\n", answers.load(), failures.load());
}

void FirstPaint() {
  if (std::string_view(CHROMIUM_EXECUTABLE).empty()) {
    std::printf("chromium not found: no first paint measured\n");
    return;
  }
  sim::SimulatedDetector detector;
  const std::uint16_t port = testing::FreePort();
  QProcess watch;
  watch.start(QStringLiteral(KARVELLO_CLI_PATH),
              {"watch", "-p", QString::fromStdString(detector.SlavePath()), "-a", "1", "--every",
               "1s", "--no-record", "--http", "127.0.0.1:" + QString::number(port)});
  watch.waitForStarted();
  watch.waitForReadyRead(5000);
  std::vector<double> ms;
  for (int i = 0; i < 10; ++i) {
    testing::ChromiumPage page("http://127.0.0.1:" + std::to_string(port) + "/");
    std::string paint;
    for (int tries = 0; tries < 100 && (paint.empty() || paint[0] == '{'); ++tries) {
      std::this_thread::sleep_for(50ms);
      paint = page.Evaluate(
          "(() => { const p = performance.getEntriesByName('first-contentful-paint')[0];"
          " const n = performance.getEntriesByType('navigation')[0];"
          " return p && n ? String(p.startTime - n.requestStart) : ''; })()");
    }
    if (!paint.empty() && paint[0] != '{') ms.push_back(std::atof(paint.c_str()));
  }
  PrintSummary("first contentful paint from the request", ms, "ms");
  watch.terminate();
  watch.waitForFinished();
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int rounds = 300;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::printf("karvello-bench-page [--rounds N]: the page's, the JSON's and the metrics' cost\n"
                  "for 255 detectors, a watch's rounds with and without 50 polling clients, and\n"
                  "the page's first paint in headless Chromium.\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  karvello::bench::Renderers();
  karvello::bench::RoundsWithClients(rounds);
  karvello::bench::FirstPaint();
  return 0;
}
