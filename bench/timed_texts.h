#pragma once
// The tool's two texts in memory, with the time of every write to the log.

#include <chrono>
#include <string>

#include "support/recording_texts.h"

namespace karvello::bench {

class TimedTexts : public testing::PlainWindowTexts {
 public:
  void SetLogText(const std::string& text) override {
    PlainWindowTexts::SetLogText(text);
    lastWrite = std::chrono::steady_clock::now();
    ++writes;
  }
  std::chrono::steady_clock::time_point lastWrite;
  long writes = 0;
};

}  // namespace karvello::bench
