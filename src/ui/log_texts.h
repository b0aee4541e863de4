#pragma once
// The texts the operations write into the log box, in UTF-8, exactly as the user sees them.

#include <string_view>

#include "engine/operations.h"
#include "present/result_words.h"

namespace karvello::text {

inline constexpr std::string_view kLineEnd = "\r\n";

// Labels of the trace lines. The colons are full-width; "接收 ：" (the reply of a two-request
// operation) has an ASCII space before its colon.
inline constexpr std::string_view kSend = "发送：";
inline constexpr std::string_view kSend1 = "发送1：";
inline constexpr std::string_view kSend2 = "发送2：";
inline constexpr std::string_view kReceive = "接收：";
inline constexpr std::string_view kReceiveOfTwo = "接收 ：";

inline constexpr std::string_view kQuerySucceeded = kQuerySucceededWords;
inline constexpr std::string_view kSetSucceeded = "设置成功！";
inline constexpr std::string_view kQueryFailed = kQueryFailedWords;
inline constexpr std::string_view kSetFailed = "设置失败！";
inline constexpr std::string_view kMeasuring = "测试中...";

inline constexpr std::string_view kAddressResult = "地址：";
inline constexpr std::string_view kResistanceResult = "电阻 = ";
inline constexpr std::string_view kOhms = "欧姆";
inline constexpr std::string_view kVoltageResult = "电压 = ";
inline constexpr std::string_view kVolts = "伏";
inline constexpr std::string_view kOverRange = kOverRangeMark;
// After the failure of a broadcast (set address, query address) on a Modbus TCP line.
inline constexpr std::string_view kNoBroadcastOverModbusTcp =
    "未发送：Modbus TCP 网关（tcp://）不转发广播，请改用 rtu+tcp:// 或串口。";

}  // namespace karvello::text
