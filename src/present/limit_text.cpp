#include "present/limit_text.h"

#include <QByteArray>
#include <algorithm>
#include <charconv>

namespace karvello {

std::optional<double> ParseLimitOhms(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto digits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || whole.size() > 9 || !digits(whole) || !digits(fraction) ||
      (point != std::string_view::npos && (fraction.empty() || fraction.size() > 2))) {
    return std::nullopt;
  }
  double ohms = 0;
  std::from_chars(text.data(), text.data() + text.size(), ohms);
  return ohms;
}

std::string LimitText(double ohms) {
  return QByteArray::number(ohms, 'g', 12).toStdString();
}

}  // namespace karvello
