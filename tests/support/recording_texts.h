#pragma once
// The tool's two texts in memory, keeping every text the tool writes, so that a text shown for a
// moment and replaced later is judged too.

#include <string>
#include <vector>

#include "ui/window_texts.h"

namespace karvello::testing {

// The two texts held in memory, the address box as a new window shows it.
class PlainWindowTexts : public WindowTexts {
 public:
  std::string AddressText() const override { return address_; }
  void SetAddressText(const std::string& text) override { address_ = text; }
  std::string LogText() const override { return log_; }
  void SetLogText(const std::string& text) override { log_ = text; }

 private:
  std::string address_ = "(1-255)";
  std::string log_;
};

// Keeps every log text as written.
class LogRecordingTexts : public PlainWindowTexts {
 public:
  void SetLogText(const std::string& text) override {
    PlainWindowTexts::SetLogText(text);
    written.push_back(text);
  }
  std::vector<std::string> written;
};

// Keeps every write of the tool's to either box, in order. What the user types goes through
// Type() and is not recorded.
class RecordingTexts : public PlainWindowTexts {
 public:
  enum class Box { kAddress, kLog };
  struct Write {
    Box box;
    std::string text;
    bool operator==(const Write&) const = default;
  };

  void SetAddressText(const std::string& text) override {
    PlainWindowTexts::SetAddressText(text);
    writes_.push_back({Box::kAddress, text});
  }
  void SetLogText(const std::string& text) override {
    PlainWindowTexts::SetLogText(text);
    writes_.push_back({Box::kLog, text});
  }

  // The user's typing into the address box.
  void Type(const std::string& text) { PlainWindowTexts::SetAddressText(text); }

  const std::vector<Write>& Writes() const { return writes_; }
  // The texts written into the log box, in order.
  std::vector<std::string> LogWrites() const {
    std::vector<std::string> out;
    for (const Write& w : writes_) {
      if (w.box == Box::kLog) out.push_back(w.text);
    }
    return out;
  }
  void Forget() { writes_.clear(); }

 private:
  std::vector<Write> writes_;
};

}  // namespace karvello::testing
