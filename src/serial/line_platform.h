#pragma once
// What the line asks of the platform beneath Qt.

#include <QtGlobal>

namespace karvello {

// True when the open serial device `handle` reports a hang-up or an error condition; false
// where the platform cannot tell.
bool SerialDeviceHungUp(qintptr handle);

}  // namespace karvello
