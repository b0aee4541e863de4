#pragma once
// Names the cases of a parameterised suite after their own `name` field, made into a word
// GoogleTest takes ("voltage one short" -> VoltageOneShort): the same name in every build, where
// the default printer would put the case's bytes, pointers among them, into the test's name.

#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>

namespace karvello::test {

inline std::string CaseWord(std::string_view text) {
  std::string word;
  bool upper = true;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 && byte < 0x80) {
      word += upper ? static_cast<char>(std::toupper(byte)) : c;
      upper = false;
    } else {
      upper = true;
    }
  }
  return word;
}

// A text as a case's message shows it: on one line, other bytes than printable ASCII as \xNN.
inline std::string Shown(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
      out += escaped;
    }
  }
  return out;
}

// For INSTANTIATE_TEST_SUITE_P's last argument: the case's name, or its number in the table
// where it has no name that makes a word.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string word = CaseWord(info.param.name);
    return word.empty() ? "Case" + std::to_string(info.index) : word;
  }
};

// Prints a case of a table by its `name`, where GoogleTest would print its bytes. A test's
// namespace takes it in with `using test::PrintTo;`, where GoogleTest finds it by the case's type.
template <typename Case>
requires requires(const Case& c) {
  std::string_view(c.name);
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

}  // namespace karvello::test
