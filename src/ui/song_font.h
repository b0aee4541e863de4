#pragma once
// The windows' typeface.

#include <QFont>

namespace karvello {

// SimSun ("宋体"). Where it is not installed, a Song-style face of the same look stands in for
// it, so that the Chinese captions never show as boxes.
inline QFont SongFont(double points, bool bold) {
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                    QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing"),
                    QStringLiteral("Noto Serif CJK SC")});
  font.setStyleHint(QFont::Serif);
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

}  // namespace karvello
