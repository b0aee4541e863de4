#include "serial/line_factory.h"

#include "serial/port_probe.h"
#include "serial/serial_port_backend.h"
#if KARVELLO_NETWORK_LINE
#include "serial/tcp_backend.h"
#endif

namespace karvello {

LineFactory::Made LineFactory::Make(const LineAddress& address, QObject* parent) const {
  if (!address.IsNetwork()) return {new SerialPortBackend(address, ports_, parent), {}};
#if KARVELLO_NETWORK_LINE
  return {new TcpBackend(address, network_, parent), {}};
#else
  return {nullptr, "this build has no network lines (built without Qt Network)"};
#endif
}

std::unique_ptr<PortMap> PortsFor(const std::optional<LineAddress>& address) {
  if (!address || address->kind == LineAddress::Kind::kPortNumber) {
    return std::make_unique<SystemPortMap>();
  }
  return std::make_unique<FixedPortMap>();
}

std::optional<LineAddress> FirstPortThatOpens(PortProbe& probe) {
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    if (probe.Opens(n)) return LineAddress::Port(n);
  }
  return std::nullopt;
}

}  // namespace karvello
