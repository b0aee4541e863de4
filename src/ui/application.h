#pragma once
// What the desktop shows of the program: its name, version and icon.

#include <QIcon>

namespace karvello {

// The application icon, drawn at 16, 32, 48, 64, 128 and 256 pixels.
QIcon ApplicationIcon();

// Gives the running application its name, version, desktop entry and icon. Call it once the
// QApplication exists.
void DescribeApplication();

}  // namespace karvello
