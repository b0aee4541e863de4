#pragma once
// Names the cases of a parameterised suite after their own `name` field, made into a word
// GoogleTest takes ("voltage one short" -> VoltageOneShort): the same name in every build, where
// the default printer would put the case's bytes, pointers among them, into the test's name.

#include <cctype>
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

// For INSTANTIATE_TEST_SUITE_P's last argument: the case's name, or its number in the table
// where it has no name that makes a word.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string word = CaseWord(info.param.name);
    return word.empty() ? "Case" + std::to_string(info.index) : word;
  }
};

}  // namespace karvello::test
