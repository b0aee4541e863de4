// A publisher in a process of its own, for the test of the last will: it connects to the
// broker URL it is given, prints "connected", and waits to be killed.
//   karvello_mqtt_probe URL PREFIX
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "gateway/site_publisher.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: karvello_mqtt_probe URL PREFIX\n");
    return 2;
  }
  karvello::gateway::SitePublisherSettings settings;
  settings.client.broker = karvello::gateway::ParseMqttUrl(argv[1]);
  settings.site = "probe";
  settings.topicPrefix = argv[2];
  settings.client.keepAlive = std::chrono::seconds(5);
  karvello::gateway::SitePublisher publisher(settings);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!publisher.Client().Connected()) return;
    poll.stop();
    std::printf("connected\n");
    std::fflush(stdout);
  });
  poll.start(10);
  publisher.Start();
  return app.exec();
}
