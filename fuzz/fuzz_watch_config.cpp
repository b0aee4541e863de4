// Feeds arbitrary texts to the reader of a watch's configuration file (ReadWatchConfig), whole
// as the file's text.
//
// Invariants, each checked against rules written out here independently of the tool's code:
// - it either gives the options or refuses with WatchConfigError, nothing else; a refusal says
//   "NAME:LINE: " with its LINE from 1 to the text's lines, and is clean text (no control
//   character nor stray byte of the file's comes back in it);
// - each option given is "-" and a letter or digit, or "--" and letters, digits and "-", and
//   is none of --config, --help, -h or --version, and stands on a line numbered from 1 on, each
//   after the one before and within the text's lines;
// - no option nor value holds a control character (a tab but within a value), a line break, or
//   bytes that are not UTF-8; a value has no white space at either end, is not in quotes, and
//   holds no "#" after white space;
// - the text with a blank line and a comment line put before it gives the same options, each
//   two lines further on (the reader takes nothing from where a line stands).

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/watch_config.h"
#include "present/shown_text.h"

namespace {

using karvello::gateway::ReadWatchConfig;
using karvello::gateway::WatchConfigEntry;
using karvello::gateway::WatchConfigError;

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "INVARIANT VIOLATED: %s\ntext (%zu bytes): \"%.*s\"\n", what, text.size(),
               static_cast<int>(text.size()), text.data());
  std::abort();
}

// Whether `text` is UTF-8 with no control character (but a tab where `tab` allows one).
bool Clean(std::string_view text, bool tab) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0x7F || (c < 0x20 && !(tab && c == '\t'))) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    // Written out here: the lead byte's length and the continuation bytes.
    std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    if (karvello::Utf8SequenceLength(text.substr(i)) != length) return false;
    i += length;
  }
  return true;
}

int Lines(std::string_view text) {
  int lines = 0;
  for (std::size_t at = 0; at < text.size(); ++lines) {
    const std::size_t end = text.find('\n', at);
    at = end == std::string_view::npos ? text.size() : end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const int lines = Lines(text);
  std::vector<WatchConfigEntry> entries;
  try {
    entries = ReadWatchConfig(text, "f.conf");
  } catch (const WatchConfigError& error) {
    const std::string said = error.what();
    const std::string head = "f.conf:" + std::to_string(error.line) + ": ";
    if (error.line < 1 || error.line > lines || !said.starts_with(head)) {
      Fail("a refusal without its line", text);
    }
    if (!Clean(said, false)) Fail("a refusal that is not clean text", text);
    return 0;
  }
  int last = 0;
  for (const WatchConfigEntry& entry : entries) {
    const std::string& option = entry.option;
    if (entry.line <= last || entry.line > lines) Fail("an option's line out of order", text);
    last = entry.line;
    // "-x" or "--name": a letter or digit after "-", letters, digits and "-" after "--".
    const std::string_view name = std::string_view(option).substr(option.starts_with("--") ? 2 : 1);
    if (option.size() < 2 || option[0] != '-' || name.empty() ||
        (!option.starts_with("--") && name.size() != 1)) {
      Fail("not an option", text);
    }
    for (const char c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && !(c == '-' && option.starts_with("--"))) {
        Fail("an option's name holds more than letters, digits and -", text);
      }
    }
    if (option == "--config" || option == "--help" || option == "-h" || option == "--version") {
      Fail("an option the file cannot hold", text);
    }
    if (!Clean(option, false)) Fail("an option not clean text", text);
    if (!entry.value) continue;
    const std::string& value = *entry.value;
    if (!Clean(value, true)) Fail("a value not clean text", text);
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                           value.back() == '\t')) {
      Fail("white space at an end of a value", text);
    }
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      Fail("a value in quotes", text);
    }
    if (value.find(" #") != std::string::npos || value.find("\t#") != std::string::npos) {
      Fail("a comment kept in a value", text);
    }
  }
  // Two lines more before it move every option two lines on, and change nothing else. (A byte
  // order mark stands only at the very start: the text is kept first when it has one.)
  if (!text.starts_with("\xEF\xBB\xBF")) {
    const std::vector<WatchConfigEntry> moved =
        ReadWatchConfig("\n# a comment\n" + std::string(text), "f.conf");
    if (moved.size() != entries.size()) Fail("lines before change the options", text);
    for (std::size_t i = 0; i < moved.size(); ++i) {
      if (moved[i].line != entries[i].line + 2 || moved[i].option != entries[i].option ||
          moved[i].value != entries[i].value) {
        Fail("lines before change an option", text);
      }
    }
  }
  return 0;
}
