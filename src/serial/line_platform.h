#pragma once
// What the line asks of the platform beneath Qt.

#include <QSerialPort>

namespace karvello {

// True when the open serial port `serial` reports a hang-up or an error condition; false where
// the platform cannot tell.
bool SerialDeviceHungUp(const QSerialPort& serial);

}  // namespace karvello
