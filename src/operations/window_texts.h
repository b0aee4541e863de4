#pragma once
// The two texts of the window that the operations read and write: the address box and the log
// box. The log text is kept exactly as written, CR LF line ends included.

#include <string>

namespace karvello {

class WindowTexts {
 public:
  virtual ~WindowTexts() = default;
  virtual std::string AddressText() const = 0;  // the address box
  virtual void SetAddressText(const std::string& text) = 0;
  virtual std::string LogText() const = 0;  // the log box
  virtual void SetLogText(const std::string& text) = 0;
};

// The two texts held in memory: for tests, and for a window that shows them.
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

}  // namespace karvello
