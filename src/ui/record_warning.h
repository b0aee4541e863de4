#pragma once
// What the record tells a window (a file that cannot be written or set aside, and its mending),
// in Chinese, shown beside the window and not in its way: the operations go on while it is open.

#include <QString>

#include "record/record.h"

class QWidget;

namespace karvello {

// The notice as lines: what happened, the file, the system's reason in parentheses (when it
// gives one), and what it means for the results, with the count of rows not kept.
QString NoticeText(const Record::Notice& notice);

// Shows the notice in a box (object name "recordWarning") that is not modal, placed beside
// `window` so that it covers none of `report` (the box where the window writes its results):
// to its right, left, below or above, on the screen where there is room, else over the window
// beside the report, else where it covers the least of it. A box still open from before shows the
// new notice instead.
void ShowRecordNotice(QWidget* window, const QWidget* report, const Record::Notice& notice);

}  // namespace karvello
