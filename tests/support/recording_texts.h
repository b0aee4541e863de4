#pragma once
// The tool's two texts in memory, keeping every log text as written, so that a text shown for a
// moment and replaced later is judged too.

#include <string>
#include <vector>

#include "operations/window_texts.h"

namespace karvello::testing {

class LogRecordingTexts : public PlainWindowTexts {
 public:
  void SetLogText(const std::string& text) override {
    PlainWindowTexts::SetLogText(text);
    written.push_back(text);
  }
  std::vector<std::string> written;
};

}  // namespace karvello::testing
