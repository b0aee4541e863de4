#include "cli/help_layout.h"

namespace karvello::cli {

std::string HelpLine(const std::string& left, std::string_view text, std::size_t column) {
  std::string line = left;
  if (line.size() < column) {
    line.resize(column, ' ');
  } else if (line.size() == column) {
    line += "  ";
  } else {
    line += "\n" + std::string(column, ' ');
  }
  for (char c : text) {
    line += c;
    if (c == '\n') line.append(column, ' ');
  }
  return line + "\n";
}

}  // namespace karvello::cli
