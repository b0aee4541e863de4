#pragma once
// The one place that knows which kinds of line this build has: it makes the backend for a line's
// address (a serial port for a numbered port or a device, a TCP connection for a serial server or
// a Modbus TCP gateway where the build has Qt Network), or says why it cannot.

#include <QObject>
#include <memory>
#include <optional>
#include <string>

#include "serial/line_address.h"
#include "serial/line_backend.h"
#include "serial/port_map.h"

namespace karvello {

class PortProbe;

class LineFactory {
 public:
  // `ports` numbers the serial ports and outlives the factory and what it makes.
  explicit LineFactory(const PortMap& ports) : ports_(ports) {}

  // How network lines made from now on connect and pace themselves.
  void SetNetworkSettings(const NetworkSettings& settings) { network_ = settings; }

  struct Made {
    // A QObject, a child of `parent`; none: this build cannot carry the address's kind.
    LineBackend* backend;
    std::string refusal;  // then why, in one line
  };
  Made Make(const LineAddress& address, QObject* parent) const;

 private:
  const PortMap& ports_;
  NetworkSettings network_;
};

// The ports a line at `address` needs numbered: the system's for a numbered port, or for none
// given (the first numbered port that opens is taken); none for any other address.
std::unique_ptr<PortMap> PortsFor(const std::optional<LineAddress>& address);
// The first numbered port from COM1 to COM16 that opens; none when none does.
std::optional<LineAddress> FirstPortThatOpens(PortProbe& probe);

}  // namespace karvello
