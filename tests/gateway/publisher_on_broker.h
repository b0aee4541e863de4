#pragma once
// What the tests of the site's publisher against a real broker share: the broker's kit, the
// site's topics, and the publisher's settings for a broker on 127.0.0.1, retrying at short delays.

#include <chrono>
#include <string>

#include "gateway/site_publisher.h"
#include "support/event_loop.h"
#include "support/mqtt_broker.h"

namespace karvello::gateway {

using namespace std::chrono_literals;
using testing::MosquittoBroker;
using testing::Received;
using testing::RunFor;
using testing::RunUntil;
using testing::Subscriber;

inline const std::string kPrefix = "karvello/site1";

// Site site1's publisher to SCHEME://HOST:PORT, retrying after 100 ms, then up to 400 ms.
inline SitePublisherSettings PublisherSettings(int port, const char* scheme = "mqtt",
                                               const char* host = "127.0.0.1") {
  SitePublisherSettings settings;
  settings.client.broker =
      ParseMqttUrl(std::string(scheme) + "://" + host + ":" + std::to_string(port));
  settings.site = "site1";
  settings.topicPrefix = kPrefix;
  settings.client.keepAlive = 5s;
  settings.client.firstRetry = 100ms;
  settings.client.lastRetry = 400ms;
  return settings;
}

}  // namespace karvello::gateway
