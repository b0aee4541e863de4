#include "gateway/watch_config.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "present/shown_text.h"

namespace karvello::gateway {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlank = " \t";

// Why `line` cannot be read, or nothing. The line is never repeated in the message: it may hold
// a password.
const char* Fault(std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return "holds a control character";
    const std::size_t length = Utf8SequenceLength(line.substr(i));
    if (length == 0) return "is not UTF-8 text";
    i += length;
  }
  return nullptr;
}

// An option's name as options are named: "-x", or "--" then letters, digits and "-". Anything
// else is not shown back as an option: it may be a value run into it ("-p=secret").
bool IsOptionName(std::string_view option) {
  const auto plain = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  if (option.size() == 2) return option[0] == '-' && plain(option[1]);
  if (option.size() < 3 || !option.starts_with("--")) return false;
  for (const char c : option.substr(2)) {
    if (!plain(c) && c != '-') return false;
  }
  return true;
}

// Options that cannot stand in the file: another file, and those that end the program at once
// (a service would "succeed" watching nothing).
bool RefusedInFile(std::string_view option) {
  for (std::string_view refused : {"--config", "--help", "-h", "--version"}) {
    if (option == refused) return true;
  }
  return false;
}

// Why the value cannot be taken as it stands, or nothing.
const char* ValueFault(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return "the value is in quotes: values are not quoted (the quotes would be part of it)";
  }
  for (std::size_t hash = value.find('#'); hash != std::string_view::npos;
       hash = value.find('#', hash + 1)) {
    if (hash > 0 && kBlank.find(value[hash - 1]) != std::string_view::npos) {
      return "\"#\" after white space in the value: a comment stands on a line of its own";
    }
  }
  return nullptr;
}

}  // namespace

std::vector<WatchConfigEntry> ReadWatchConfig(std::string_view text, std::string_view name) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  std::vector<WatchConfigEntry> entries;
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

    std::string_view option = line.substr(0, line.find_first_of(kBlank));
    std::optional<std::string_view> value;
    if (option.starts_with("--") && option.find('=') != std::string_view::npos) {
      // "--every=5m": the value runs from "=" to the end of the line, white space around it
      // left out as after an option.
      option = option.substr(0, option.find('='));
      value = line.substr(option.size() + 1);
      value = value->substr(std::min(value->size(), value->find_first_not_of(kBlank)));
    } else if (option.size() < line.size()) {
      value = line.substr(option.size());
      value = value->substr(value->find_first_not_of(kBlank));
    }
    if (!IsOptionName(option)) {
      refuse("the line does not begin with an option (-x or --name)");
    }
    if (RefusedInFile(option)) {
      refuse(std::string(option) + " cannot be given in a configuration file");
    }
    if (value) {
      if (const char* fault = ValueFault(*value)) refuse(fault);
    }
    entries.push_back(
        {number, std::string(option), value ? std::optional<std::string>(*value) : std::nullopt});
  }
  return entries;
}

std::vector<WatchConfigEntry> ReadWatchConfigFile(const std::string& path) {
  namespace fs = std::filesystem;
  const auto refuse = [&](const std::string& why) {
    throw WatchConfigError("cannot read " + path + ": " + why, 0);
  };
  // Looked at before it is opened: opening a FIFO without a writer would wait for one.
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) refuse(error.message());
  switch (status.type()) {
    case fs::file_type::regular:
      break;
    case fs::file_type::directory:
      refuse("it is a folder");
      break;
    case fs::file_type::fifo:
      refuse("it is a FIFO, not a regular file");
      break;
    case fs::file_type::character:
    case fs::file_type::block:
      refuse("it is a device, not a regular file");
      break;
    default:
      refuse("it is not a regular file");
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) refuse(std::error_code(errno, std::generic_category()).message());
  // One byte past the most a file may hold tells a longer one, however long it is.
  std::string text(kLongestWatchConfig + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) refuse("a read failed");
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kLongestWatchConfig) {
    refuse("it holds more than " + std::to_string(kLongestWatchConfig) +
           " bytes, the most a configuration file may");
  }
  return ReadWatchConfig(text, path);
}

}  // namespace karvello::gateway
