#include "cli/cli_config_file.h"

#include <map>
#include <set>

#include "cli/cli_options.h"
#include "gateway/watch_config.h"

namespace karvello::cli {

std::vector<GivenOption> WithConfigFiles(
    const std::vector<GivenOption>& given, const OptionLookup& lookup,
    const std::function<std::string(const std::string& option)>& unknown) {
  std::set<const void*> onCommandLine;
  for (const GivenOption& option : given) {
    if (const auto known = lookup(option.option)) onCommandLine.insert(known->id);
  }
  std::map<const void*, std::string> firstAt;  // each option of the files: where it stands
  std::vector<GivenOption> all;
  for (const GivenOption& option : given) {
    all.push_back(option);
    if (option.option != "--config" || !option.value) continue;
    if (option.value->empty()) throw UsageError("--config takes a value, not an empty one");
    std::vector<gateway::WatchConfigEntry> entries;
    try {
      entries = gateway::ReadWatchConfigFile(*option.value);
    } catch (const gateway::WatchConfigError& error) {
      throw UsageError(error.what());
    }
    for (gateway::WatchConfigEntry& entry : entries) {
      const std::string where = *option.value + ":" + std::to_string(entry.line);
      const auto refuse = [&](const std::string& why) { throw UsageError(where + ": " + why); };
      const auto known = lookup(entry.option);
      if (!known) refuse(unknown(entry.option));
      if (known->takesValue && !entry.value) refuse(entry.option + " needs a value");
      if (!known->takesValue && entry.value) refuse(entry.option + " takes no value");
      const auto [first, fresh] = firstAt.emplace(known->id, where);
      if (!fresh) {
        refuse(entry.option + " is given again (first at " + first->second +
               "): give each option once");
      }
      if (onCommandLine.contains(known->id)) continue;  // the command line's holds
      all.push_back({std::move(entry.option), std::move(entry.value), where});
    }
  }
  return all;
}

}  // namespace karvello::cli
