#pragma once
// What each result of an exchange is called, one table per language: Chinese as the windows show
// it, English as the command line and the gateway say it.

#include <string_view>

#include "engine/outcome.h"

namespace karvello {

inline constexpr std::string_view kQuerySucceededWords = "查询成功！";
inline constexpr std::string_view kQueryFailedWords = "查询失败！";

struct ResultWords {
  Result result;
  std::string_view words;
};

inline constexpr ResultWords kChineseResultWords[] = {
    {Result::kAnswered, kQuerySucceededWords}, {Result::kRefused, "拒绝"},
    {Result::kWrongReply, "回复不符"},         {Result::kCorrupt, "回复损坏"},
    {Result::kNoReply, kQueryFailedWords},     {Result::kLineLost, "串口断开"},
    {Result::kNotSent, kQueryFailedWords},
};

inline constexpr ResultWords kEnglishResultWords[] = {
    {Result::kAnswered, ""},
    {Result::kRefused, "refused"},
    {Result::kWrongReply, "wrong reply"},
    {Result::kCorrupt, "corrupt reply"},
    {Result::kNoReply, "no reply in time"},
    {Result::kLineLost, "line lost"},
    {Result::kNotSent, "not sent"},
};

// `result` in the windows' words: "拒绝", "回复损坏", "查询失败！"...
std::string_view ChineseWords(Result result);
// `result` in the command line's words: "refused", "corrupt reply", "no reply in time"...; an
// answer has none (its value speaks).
std::string_view EnglishWords(Result result);

}  // namespace karvello
