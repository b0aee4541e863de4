#pragma once
// What each result of an exchange is called, one table per language: Chinese as the windows show
// it, English as the command line and the gateway say it.

#include <cstdint>
#include <string_view>

#include "engine/outcome.h"
#include "framing/registers.h"

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

// A gateway's words for the device behind it, when it answers for it that no detector answered
// (a no-reply outcome whose reply is the gateway's exception): the command line shows
// "no reply (the gateway: target device failed to respond)". The windows show no reply as such.
inline constexpr std::string_view kNoReplyThroughGateway = "no reply";
struct GatewayExceptionWords {
  std::uint8_t code;
  std::string_view words;
};
inline constexpr GatewayExceptionWords kGatewayExceptionWords[] = {
    {reg::kExceptionPathUnavailable, "path unavailable"},
    {reg::kExceptionTargetFailedToRespond, "target device failed to respond"},
};

// `result` in the windows' words: "拒绝", "回复损坏", "查询失败！"...
std::string_view ChineseWords(Result result);
// `result` in the command line's words: "refused", "corrupt reply", "no reply in time"...; an
// answer has none (its value speaks).
std::string_view EnglishWords(Result result);
// A gateway's exception `code` in its words; empty for a code of no gateway's.
std::string_view GatewayWords(std::uint8_t code);

}  // namespace karvello
