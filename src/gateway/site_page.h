#pragma once
// The gateway's own page (GET /): the site's state in Chinese, in the survey window's words,
// whole at first paint without a script: the line, the broker, the record, and a table of the
// detectors with their last readings, standing alarms at the top. A small inline script then
// asks /api/status every few seconds and redraws the same parts from it, without a reload. No
// resource from elsewhere: the site box has no internet.

#include <chrono>
#include <string>

#include "gateway/site_view.h"

namespace karvello::gateway {

// How often the page's script asks /api/status again.
inline constexpr std::chrono::milliseconds kPageRefresh{3000};

std::string PageHtml(const SiteSnapshot& site, const ViewMoment& moment);

// The words of the page for a reading's result ("查询失败！", "串口断开"): what a cell shows for a
// reading that failed.
std::string_view FailureWords(Result result);

}  // namespace karvello::gateway
