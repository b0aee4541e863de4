// The look-up of a font for the window's captions, over the fonts installed here (the test
// machine has the Song face the window asks for).
#include "ui/font_check.h"

#include <gtest/gtest.h>

#include <QString>

namespace karvello {
namespace {

TEST(SomeFontDraws, FindsTheCaptionsAndMissesACharacterNoFontHas) {
  // U+10FFFD is a private-use character that no font installed here draws.
  const QString none = QString::fromUcs4(U"\U0010FFFD");
  struct Case {
    QString text;
    bool drawn;
  };
  const Case cases[] = {
      {QStringLiteral("串口号:设备地址:设置地址查询地址查询电阻查询电压"), true},
      {QStringLiteral("查询成功！电阻 = 34.5欧姆"), true},
      {QStringLiteral("COM1 (1-255)"), true},  // Latin text is not looked up
      {QString(), true},
      {none, false},
      {QStringLiteral("设置地址") + none, false},  // every character must be drawn
  };
  for (const auto& [text, drawn] : cases) {
    EXPECT_EQ(SomeFontDraws(text), drawn) << text.toStdString();
  }
}

}  // namespace
}  // namespace karvello
