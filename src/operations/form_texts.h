#pragma once
// The two texts of the window that the operations read and write: the address box and the log
// box. The log text is kept exactly as written, CR LF line ends included.

#include <string>

namespace karvello {

class FormTexts {
 public:
  virtual ~FormTexts() = default;
  virtual std::string Text1() const = 0;  // the address box
  virtual void SetText1(const std::string& text) = 0;
  virtual std::string Text2() const = 0;  // the log box
  virtual void SetText2(const std::string& text) = 0;
};

// The two texts held in memory: for tests, and for a window that shows them.
class PlainFormTexts : public FormTexts {
 public:
  std::string Text1() const override { return text1_; }
  void SetText1(const std::string& text) override { text1_ = text; }
  std::string Text2() const override { return text2_; }
  void SetText2(const std::string& text) override { text2_ = text; }

 private:
  std::string text1_ = "(1-255)";
  std::string text2_;
};

}  // namespace karvello
