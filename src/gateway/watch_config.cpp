#include "gateway/watch_config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace karvello::gateway {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlank = " \t";

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is not one.
std::size_t Utf8Length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned int lowest = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  unsigned int code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Why `line` cannot be read, or nothing. The line is never repeated in the message: it may hold
// a password.
const char* Fault(std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return "holds a control character";
    const std::size_t length = Utf8Length(line.substr(i));
    if (length == 0) return "is not UTF-8 text";
    i += length;
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> ReadWatchConfig(std::string_view text, std::string_view name) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  std::vector<std::string> arguments;
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);

    const auto refuse = [&](const std::string& why) {
      throw WatchConfigError(std::string(name) + ":" + std::to_string(number) + ": " + why, number);
    };
    if (const char* fault = Fault(line)) refuse(std::string("the line ") + fault);
    const std::size_t start = line.find_first_not_of(kBlank);
    if (start == std::string_view::npos || line[start] == '#') continue;
    line = line.substr(start, line.find_last_not_of(kBlank) - start + 1);

    const std::string_view option = line.substr(0, line.find_first_of(kBlank));
    if (option.size() < 2 || option[0] != '-' || option == "--") {
      refuse("the line does not begin with an option (-x or --name)");
    }
    if (option == "--config" || option.starts_with("--config=")) {
      refuse("--config cannot be given in a configuration file");
    }
    arguments.emplace_back(option);
    if (option.size() < line.size()) {
      const std::string_view value = line.substr(option.size());
      arguments.emplace_back(value.substr(value.find_first_not_of(kBlank)));
    }
  }
  return arguments;
}

std::vector<std::string> ReadWatchConfigFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw WatchConfigError("cannot read " + path + ": " + std::strerror(errno), 0);
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw WatchConfigError("cannot read " + path, 0);
  return ReadWatchConfig(text.str(), path);
}

}  // namespace karvello::gateway
