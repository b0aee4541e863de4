#pragma once
// The two texts of the main window that the buttons read and the reports write: the address box
// and the log box. The log text is kept exactly as written, CR LF line ends included.

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

}  // namespace karvello
