#pragma once
// Operations on an in-memory line, with texts that record every write.

#include <string>
#include <vector>

#include "operations/operations.h"
#include "operations/window_texts.h"
#include "serial/fake_serial_control.h"
#include "support/hex_bytes.h"

namespace karvello::testing {

class RecordingTexts : public WindowTexts {
 public:
  struct Write {
    int box;  // 1: the address box, 2: the log box
    std::string text;
    bool operator==(const Write&) const = default;
  };

  std::string AddressText() const override { return text1_; }
  void SetAddressText(const std::string& text) override {
    text1_ = text;
    writes_.push_back({1, text});
  }
  std::string LogText() const override { return text2_; }
  void SetLogText(const std::string& text) override {
    text2_ = text;
    writes_.push_back({2, text});
  }

  const std::vector<Write>& Writes() const { return writes_; }
  // How many times the log box was set to exactly `text`.
  int Log2Count(const std::string& text) const {
    int n = 0;
    for (const auto& w : writes_) n += (w.box == 2 && w.text == text) ? 1 : 0;
    return n;
  }
  void Forget() { writes_.clear(); }

 private:
  std::string text1_ = "(1-255)";
  std::string text2_;
  std::vector<Write> writes_;
};

// The window's state and line with port 1 open and nothing sent yet.
struct Bench {
  Bench() {
    comm.SetCommPort(1);
    comm.SetPortOpen(true);
    comm.ForgetCalls();
  }
  const FormState& S() const { return ops.State(); }
  bool On(int timer) const { return ops.Timer(timer).IsOn(); }
  // Address box text, with the write not recorded as the tool's own.
  void Type(const std::string& text) {
    texts.SetAddressText(text);
    texts.Forget();
  }
  void Tick(int timer, int times = 1) {
    for (int i = 0; i < times; ++i) {
      switch (timer) {
        case 1:
          ops.Timer1_Timer();
          break;
        case 2:
          ops.Timer2_Timer();
          break;
        case 3:
          ops.Timer3_Timer();
          break;
        case 4:
          ops.Timer4_Timer();
          break;
        case 5:
          ops.Timer5_Timer();
          break;
        case 6:
          ops.Timer6_Timer();
          break;
        default:
          break;
      }
    }
  }
  void Receive(const char* hex) { comm.Receive(Hex(hex)); }
  std::size_t Sent() const { return comm.Written().size(); }

  FakeSerialControl comm;
  RecordingTexts texts;
  Operations ops{comm, texts};
};

}  // namespace karvello::testing
