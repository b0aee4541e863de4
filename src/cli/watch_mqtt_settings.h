#pragma once
// The settings of a watch's publisher, from its command line.

#include <optional>
#include <string>

#include "cli/cli_options.h"
#include "gateway/site_publisher.h"

namespace karvello::cli {

// The publisher's settings for `run`. `environmentPassword`: $KARVELLO_MQTT_PASSWORD, the
// password of a URL that gives a user and none. Throws UsageError (one line) for a URL, CA file,
// site or topic prefix that cannot be used.
gateway::SitePublisherSettings WatchMqttSettings(
    const Invocation& run, const std::optional<std::string>& environmentPassword);

}  // namespace karvello::cli
