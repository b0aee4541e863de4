#pragma once
// The two ways a time is written: exact, for files and machines, and short, for people.

#include <QDateTime>
#include <QString>
#include <string>

namespace karvello {

// "2026-12-07T18:04:06.123+08:00": local time to the millisecond with its offset from UTC, as the
// record, the command line's CSV and JSON and the gateway's messages write it.
std::string TimeText(const QDateTime& when);

// "2026-12-07 18:04:06": the time to the second as the windows and the command line's plain lines
// show it.
QString DisplayTime(const QDateTime& when);
std::string DisplayTimeText(const QDateTime& when);

}  // namespace karvello
