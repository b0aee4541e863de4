#pragma once
// What the address box holds after it loses the focus, for each text typed into it.

#include <string>
#include <utility>
#include <vector>

namespace karvello::test {

inline const std::vector<std::pair<std::string, std::string>> kAddressEntryCases = {
    {"300", "255"}, {"255.5", "255"}, {"256", "255"},
    {"255", "255"}, {"-5", "1"},      {"-0.5", "1"},
    {"0", ""},      {"0.0", ""},      {"abc", ""},
    {" ", ""},      {"(1-255)", ""},  {"12abc", "12abc"},
    {"0.4", "0.4"}, {"7", "7"},       {"1", "1"},
    {" 42", " 42"}, {"", ""},         {std::string(400, '9'), "255"},
};

}  // namespace karvello::test
