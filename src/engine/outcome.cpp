#include "engine/outcome.h"

namespace karvello {
namespace {

struct ResultEntry {
  Result result;
  std::string_view name;
};
constexpr ResultEntry kResultNames[] = {
    {Result::kAnswered, "answered"},      {Result::kRefused, "refused"},
    {Result::kWrongReply, "wrong-reply"}, {Result::kCorrupt, "corrupt"},
    {Result::kNoReply, "no-reply"},       {Result::kLineLost, "line-lost"},
    {Result::kNotSent, "not-sent"},
};

}  // namespace

std::string_view ResultName(Result result) {
  for (const ResultEntry& entry : kResultNames) {
    if (entry.result == result) return entry.name;
  }
  return "unknown";
}

std::optional<Result> ResultNamed(std::string_view name) {
  for (const ResultEntry& entry : kResultNames) {
    if (entry.name == name) return entry.result;
  }
  return std::nullopt;
}

std::string ValueField(const Outcome& outcome) {
  if (!outcome.value) return {};
  return AnswerForm(outcome.operation).field(*outcome.value);
}

}  // namespace karvello
