#include "cli/cli_options.h"

#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <span>

#include "cli/cli_config_file.h"
#include "cli/cli_grammar.h"
#include "cli/cli_help_texts.h"
#include "cli/cli_history.h"
#include "cli/cli_rules.h"
#include "cli/help_layout.h"
#include "engine/address_box.h"
#include "engine/survey.h"
#include "present/limit_text.h"
#include "present/shown_text.h"
#include "serial/packing.h"
#include "serial/serial_line.h"

namespace karvello::cli {
namespace {

using grammar::CommandEntry;
using grammar::OptionEntry;
using grammar::ParseState;

using grammar::Commands;
using grammar::ToolOptions;

// The column the tool's help gives its commands' and options' texts.
constexpr std::size_t kToolColumn = 25;

const CommandEntry* CommandNamed(std::string_view name) {
  const auto commands = Commands();
  const auto entry = std::find_if(commands.begin(), commands.end(),
                                  [&](const CommandEntry& c) { return c.name == name; });
  return entry == commands.end() ? nullptr : &*entry;
}

const CommandEntry* CommandOf(Command command) {
  const auto commands = Commands();
  const auto entry = std::find_if(commands.begin(), commands.end(),
                                  [&](const CommandEntry& c) { return c.command == command; });
  return entry == commands.end() ? nullptr : &*entry;
}

// The option of `options` that `typed` ("-a", "--address") names, or none.
const OptionEntry* Find(std::span<const OptionEntry> options, std::string_view typed) {
  for (const OptionEntry& option : options) {
    if ((typed.size() == 2 && typed[0] == '-' && option.shortName != 0 &&
         typed[1] == option.shortName) ||
        (typed.starts_with("--") && !option.longName.empty() &&
         typed.substr(2) == option.longName)) {
      return &option;
    }
  }
  return nullptr;
}

// Whether `typed` names an option of any command, or of the tool.
bool Known(std::string_view typed) {
  bool known = Find(ToolOptions(), typed) != nullptr;
  for (const CommandEntry& command : Commands()) known = known || Find(command.options, typed);
  return known;
}

// Whether `typed` names an option of any command, or of the tool, that takes a value.
bool TakesValue(std::string_view typed) {
  const OptionEntry* option = Find(ToolOptions(), typed);
  for (const CommandEntry& command : Commands()) {
    if (!option) option = Find(command.options, typed);
  }
  return option && !option->valueName.empty();
}

std::string OptionsHelp(std::span<const OptionEntry> options, std::size_t column) {
  std::string text;
  for (const OptionEntry& option : options) {
    if (option.help.empty()) continue;
    std::string left = "  ";
    if (option.shortName != 0) left += std::string("-") + option.shortName;
    if (!option.longName.empty() && (option.longInHelp || option.shortName == 0)) {
      left += (option.shortName != 0 ? ", --" : "--") + std::string(option.longName);
    }
    if (!option.valueName.empty()) left += " " + std::string(option.valueName);
    text += HelpLine(left, option.help, column);
  }
  return text;
}

std::string Synopsis(const CommandEntry& command) {
  return std::string(command.name) + (command.synopsis.empty() ? "" : " ") +
         std::string(command.synopsis);
}

// Qt's parser of the tool's options and those of `command` (none: the tool's alone), reading
// `arguments` (the program's name first).
void ReadWithQt(QCommandLineParser& parser, const CommandEntry* command,
                const QStringList& arguments) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const auto add = [&parser](std::span<const OptionEntry> options) {
    for (const OptionEntry& option : options) {
      QStringList names;
      if (option.shortName != 0) names << QString(QLatin1Char(option.shortName));
      if (!option.longName.empty()) names << QString::fromUtf8(option.longName);
      parser.addOption(QCommandLineOption(names, QString::fromUtf8(option.help),
                                          QString::fromUtf8(option.valueName)));
    }
  };
  add(ToolOptions());
  if (command) add(command->options);
  // Only options it knows reach it, each with its value: it cannot fail.
  if (!parser.parse(arguments)) throw UsageError(parser.errorText().toStdString());
}

using Given = GivenOption;

}  // namespace

std::string_view CommandName(Command command) {
  const CommandEntry* described = CommandOf(command);
  return described ? described->name : "karvello-cli";
}

std::string HelpText(Command command) {
  if (const CommandEntry* described = CommandOf(command)) {
    return "Usage: karvello-cli " + Synopsis(*described) + " [OPTIONS]\n" +
           std::string(described->about) + OptionsHelp(described->options, described->column) +
           std::string(described->after);
  }
  std::string text =
      "Usage: karvello-cli [OPTIONS] COMMAND [ARGS]\n" + std::string(kToolAbout) + "\nCommands:\n";
  for (const CommandEntry& described : Commands()) {
    std::string left = "  " + Synopsis(described);
    if (!described.more.empty()) {
      left += "\n" + std::string(described.name.size() + 3, ' ') + std::string(described.more);
      left += "\n" + std::string(kToolColumn, ' ');  // the summary on a line of its own
      text += left + std::string(described.summary) + "\n";
    } else {
      text += HelpLine(left, described.summary, kToolColumn);
    }
  }
  text += HelpLine("  COMMAND --help", "the command's options", kToolColumn);
  return text + "\nOptions:\n" + OptionsHelp(ToolOptions(), kToolColumn) + std::string(kToolAfter);
}

Invocation Parse(const std::vector<std::string>& given) {
  // First the words: which are options (those of every command known, so that each value goes
  // with its option whatever the command), which values, which the command and its arguments. A
  // --config file's options take its place among the others. "-abc" and "--" are options no
  // command has, never Qt's compacted short options nor its end of the options.
  const std::vector<std::string>& arguments = given;
  std::vector<Given> options;
  std::vector<std::string> positional;
  // Before each word that is no option, the option no command has that stands just before it,
  // if any: the word may be its value, which is not to be shown.
  std::vector<std::string> afterUnknown;
  std::string unknownBefore;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::optional<std::string> value;
    if (option.size() > 2 && option.starts_with("--")) {
      const auto equals = option.find('=');
      if (equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.resize(equals);
      }
    }
    if (option.size() < 2 || option.front() != '-') {
      positional.push_back(option);
      afterUnknown.push_back(std::exchange(unknownBefore, {}));
      continue;
    }
    unknownBefore = !value && !Known(option) ? option : std::string();
    if (TakesValue(option)) {
      if (!value) {
        if (i + 1 >= arguments.size()) throw UsageError(option + " needs a value");
        value = arguments[++i];
      }
    } else if (value && Known(option)) {  // an option no command has is named as such
      throw UsageError(option + " takes no value");
    }
    options.push_back({option, value, {}});
  }
  const CommandEntry* command = positional.empty() ? nullptr : CommandNamed(positional[0]);
  const std::span<const OptionEntry> own =
      command ? command->options : std::span<const OptionEntry>();
  const auto described = [&](std::string_view typed) {
    const OptionEntry* option = Find(ToolOptions(), typed);
    return option ? option : Find(own, typed);
  };
  // A --config file's options take its place among the others.
  if (Find(own, "--config")) {
    options = WithConfigFiles(
        options,
        [&](std::string_view typed) -> std::optional<KnownOption> {
          const OptionEntry* option = described(typed);
          if (!option) return std::nullopt;
          return KnownOption{option, !option->valueName.empty()};
        },
        [&](const std::string& option) {
          return std::string(command->name) + " has no option " + option;
        });
  }

  // Then Qt's parser of the command's options and the tool's, given those alone.
  QStringList forQt{QStringLiteral("karvello-cli")};
  for (const std::string& word : positional) forQt << QString::fromStdString(word);
  for (const Given& option : options) {
    if (!described(option.option)) continue;
    // A value that begins with "-" is still the option's.
    forQt << QString::fromStdString(option.value ? option.option + "=" + *option.value
                                                 : option.option);
  }
  QCommandLineParser parser;
  ReadWithQt(parser, command, forQt);
  // Each option's n-th value as given, in the order given.
  std::map<const OptionEntry*, int> seen;
  const auto apply = [&](const OptionEntry& entry, const Given& option, ParseState& state) {
    const QStringList given = parser.values(QString::fromUtf8(entry.longName));
    const int n = seen[&entry]++;
    const std::string value =
        option.value && n < given.size() ? given[n].toStdString() : std::string();
    if (option.where.empty()) return entry.apply(state, option.option, value);
    try {
      entry.apply(state, option.option, value);
    } catch (const UsageError& error) {
      throw UsageError(option.where + ": " + error.what());  // a line of a --config file
    }
  };

  ParseState state;
  for (const Given& option : options) {
    if (const OptionEntry* described = Find(ToolOptions(), option.option))
      apply(*described, option, state);
  }
  Invocation& run = state.run;
  if (!positional.empty() && !command) {
    // The word after an option no command has is that option's value: the option is named.
    if (!afterUnknown[0].empty()) {
      throw UsageError("unknown option " + afterUnknown[0] + SerialSettingNote(afterUnknown[0]) +
                       " (see karvello-cli --help)");
    }
    throw UsageError("unknown command " + QuotedValue(positional[0]) +
                     " (see karvello-cli --help)");
  }
  if (command) run.command = command->command;
  if (run.help || run.version) return run;
  if (!command) {
    for (const Given& option : options) {
      if (!Find(ToolOptions(), option.option)) {
        throw UsageError("unknown option " + option.option + SerialSettingNote(option.option));
      }
    }
    if (run.listPorts) return run;
    throw UsageError("no command given (see karvello-cli --help)");
  }
  state.name = std::string(command->name);
  const std::string& name = state.name;
  const std::size_t wantedPositional = run.command == Command::kSetAddress ? 2 : 1;
  if (positional.size() < wantedPositional) throw UsageError(name + " needs the new address");
  if (positional.size() > wantedPositional) {
    if (!afterUnknown[wantedPositional].empty()) {
      const std::string& unknown = afterUnknown[wantedPositional];
      throw UsageError(name + " has no option " + unknown + SerialSettingNote(unknown) +
                       " (see karvello-cli " + name + " --help)");
    }
    throw UsageError(name + ": unexpected argument " + QuotedValue(positional[wantedPositional]));
  }
  if (run.command == Command::kSetAddress) {
    run.addresses = {Address("set-address", positional[1])};
  }
  // A Modbus TCP gateway passes no broadcast on, nor the answer to a broadcast read.
  const std::optional<Operation> single =
      run.command == Command::kSetAddress     ? std::optional(Operation::kSetAddress)
      : run.command == Command::kQueryAddress ? std::optional(Operation::kQueryAddress)
                                              : std::nullopt;
  if (single && SendsBroadcast(*single) && run.port && !CarriesBroadcasts(*run.port)) {
    throw UsageError(name + " sends a broadcast, which a Modbus TCP gateway (" + run.port->text +
                     ") does not pass on: give the serial server as rtu+tcp://HOST:PORT, or a "
                     "serial port");
  }

  for (const Given& option : options) {
    if (Find(ToolOptions(), option.option)) continue;
    const OptionEntry* described = Find(own, option.option);
    if (!described) {
      const std::string note = Known(option.option) ? "" : SerialSettingNote(option.option);
      throw UsageError(name + " has no option " + option.option + note + " (see karvello-cli " +
                       name + " --help)");
    }
    apply(*described, option, state);
  }

  CheckRules(run, name, {state.everyGiven, state.alarmAfterGiven});

  return run;
}

}  // namespace karvello::cli
