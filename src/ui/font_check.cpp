#include "ui/font_check.h"

#include <QFont>
#include <QFontDatabase>
#include <QRawFont>
#include <QStringList>
#include <algorithm>

namespace karvello {

bool SomeFontDraws(const QString& text) {
  QList<char32_t> needed;
  for (const char32_t c : text.toUcs4()) {
    if (c > 0x7F && !needed.contains(c)) needed.push_back(c);
  }
  if (needed.isEmpty()) return true;
  // Only fonts that say they write Chinese (or Japanese, whose fonts carry the same Han
  // characters) can have them; the glyphs of each are then looked up one by one.
  QStringList candidates;
  for (const auto system : {QFontDatabase::SimplifiedChinese, QFontDatabase::TraditionalChinese,
                            QFontDatabase::Japanese}) {
    for (const QString& family : QFontDatabase::families(system)) {
      if (!candidates.contains(family)) candidates.push_back(family);
    }
  }
  for (const QString& family : candidates) {
    const QRawFont raw = QRawFont::fromFont(QFont(family));
    if (!raw.isValid()) continue;
    if (std::all_of(needed.begin(), needed.end(),
                    [&raw](char32_t c) { return raw.supportsCharacter(c); })) {
      return true;
    }
  }
  return false;
}

QString MissingFontWarning() {
  return QStringLiteral(
             "karvello: no installed font has the Chinese characters of the window, so its "
             "captions show as boxes; install a Chinese font: sudo apt install %1")
      .arg(QLatin1String(kChineseFontPackage));
}

}  // namespace karvello
