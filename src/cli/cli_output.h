#pragma once
// What karvello-cli prints of an outcome: a plain line for a person, a CSV row or a JSON object,
// with the frames in hexadecimal when asked for.

#include <QDateTime>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/cli_options.h"
#include "engine/outcome.h"
#include "present/reading_fields.h"

namespace karvello::cli {

// For a person: "34.5 Ω", "over range", "220 V", "address 5"; or what went wrong ("no reply in
// time", "refused (exception 04)", ...).
std::string PlainText(const Outcome& outcome);
// The exit status an outcome gives.
ExitStatus StatusOf(Result result);
// Of two statuses of failures, the one that says more about the line: a refusal (4, a device
// answered in whole frames), then a corrupt or wrong reply (5), then the line lost (6), then no
// reply (3). Any other status ranks below them all.
ExitStatus MostTelling(ExitStatus a, ExitStatus b);

// Writes each outcome to `out` as one line (plain: with the frames on lines of their own under
// it when verbose), flushed at once unless Buffered().
class Printer {
 public:
  Printer(Format format, bool verbose, std::FILE* out)
      : format_(format), verbose_(verbose), out_(out) {}
  // The CSV header, once before the rows; nothing in the other formats.
  void Begin();
  // One outcome at `address` on `port`. `stamped`: the plain line begins with the time, the
  // address and the operation, as in a watch; otherwise it is the value alone. A late or
  // repeated reply (outcome.again) is marked so: "(again)" at the end of the plain line,
  // "again":true in JSON.
  void Print(const Outcome& outcome, int address, std::string_view port, const QDateTime& when,
             bool stamped);
  // A change of an alarm: the plain line "TIME  address 5  alarm  raised: 34.5 Ω, above 20 Ω",
  // or a CSV row or JSON object with operation "alarm", its state as the result and the limit.
  // A no-answer alarm: "TIME  address 5  no-answer  raised: no reply" (cleared: by its answer).
  void PrintAlarm(const AlarmChange& change, std::string_view port);
  // A detector set aside ("TIME  address 5  set-aside  begun: ...") or read every round again
  // ("... ended: ..."); a CSV row or JSON object with operation "set-aside", "begun" or "ended"
  // as the result.
  void PrintSetAside(int address, bool aside, std::string_view port, const QDateTime& when);
  // An alarm's change as the record keeps it, without its limit: the plain line "TIME  address 5
  // alarm  raised: 34.5 Ω", or a CSV row or JSON object as PrintAlarm's but for the limit.
  void PrintRecordedAlarm(const AlarmChange& change, std::string_view port);
  // The plain lines of Print(stamped) and of the alarms name the port after the time.
  void ShowPort(bool show) { showPort_ = show; }
  // Verbose and plain only: the frames of `outcome`, a line each ("  sent: 05 03 ...").
  void PrintFrames(const Outcome& outcome);
  // A plain line of text (plain format only).
  void Note(std::string_view text);
  // Text as it is, in every format (the help, the list of ports).
  void Text(std::string_view text) { Write(std::string(text)); }
  // Flushes what is buffered. Then Failed(): a write or a flush failed, and nothing more is
  // written; Closed(): that failure was a pipe its reader closed (`| head -1`), a quiet end.
  void Flush();
  bool Failed() const { return error_ != 0; }
  bool Closed() const;
  // "No space left on device": why the output failed.
  std::string FailureText() const;
  // Lines are no longer flushed one by one, only when the buffer fills and at the end: for a
  // long listing that nobody follows line by line.
  void Buffered() { flushEachLine_ = false; }
  Format format() const { return format_; }

 private:
  void Write(const std::string& text);
  void WriteFramelessCsv(const ReadingFields& fields);

  Format format_;
  bool verbose_;
  std::FILE* out_;
  bool flushEachLine_ = true;
  bool showPort_ = false;
  int error_ = 0;  // the errno of the first failed write or flush
};

}  // namespace karvello::cli
