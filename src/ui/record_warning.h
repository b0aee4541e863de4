#pragma once
// The warning of a record that cannot be written, shown beside a window and not in its way: the
// operations go on while it is open.

#include <QString>

class QWidget;

namespace karvello {

// Shows the warning (object name "recordWarning") for the record at `path`, which failed for
// `reason`, over `parent`.
void WarnRecordFailed(QWidget* parent, const QString& path, const QString& reason);

}  // namespace karvello
