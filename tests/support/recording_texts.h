#pragma once
// The tool's two texts in memory, keeping every log text as written, so that a text shown for a
// moment and replaced later is judged too.

#include <string>
#include <vector>

#include "operations/form_texts.h"

namespace karvello::testing {

class LogRecordingTexts : public PlainFormTexts {
 public:
  void SetText2(const std::string& text) override {
    PlainFormTexts::SetText2(text);
    written.push_back(text);
  }
  std::vector<std::string> written;
};

}  // namespace karvello::testing
