#pragma once
// What karvello-cli prints of an outcome: a plain line for a person, a CSV row or a JSON object,
// with the frames in hexadecimal when asked for.

#include <QDateTime>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/cli_options.h"
#include "engine/outcome.h"

namespace karvello::cli {

// For a person: "34.5 Ω", "over range", "220 V", "address 5"; or what went wrong ("no reply in
// time", "refused (exception 04)", ...).
std::string PlainText(const Outcome& outcome);
// The exit status an outcome gives.
ExitStatus StatusOf(Result result);

std::string JsonString(std::string_view text);

// Writes each outcome to `out` as one line (plain: with the frames on lines of their own under
// it when verbose), flushed at once unless Buffered().
class Printer {
 public:
  Printer(Format format, bool verbose, std::FILE* out)
      : format_(format), verbose_(verbose), out_(out) {}
  // The CSV header, once before the rows; nothing in the other formats.
  void Begin();
  // One outcome at `address` on `port`. `stamped`: the plain line begins with the time, the
  // address and the operation, as in a watch; otherwise it is the value alone.
  void Print(const Outcome& outcome, int address, std::string_view port, const QDateTime& when,
             bool stamped);
  // Verbose and plain only: the frames of `outcome`, a line each ("  sent: 05 03 ...").
  void PrintFrames(const Outcome& outcome);
  // A plain line of text (plain format only).
  void Note(std::string_view text);
  // Lines are no longer flushed one by one, only when the buffer fills and at the end: for a
  // long listing that nobody follows line by line.
  void Buffered() { flushEachLine_ = false; }
  Format format() const { return format_; }

 private:
  void Write(const std::string& text);

  Format format_;
  bool verbose_;
  std::FILE* out_;
  bool flushEachLine_ = true;
};

}  // namespace karvello::cli
