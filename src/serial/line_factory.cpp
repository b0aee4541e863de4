#include "serial/line_factory.h"

#include <type_traits>

#include "serial/port_probe.h"
#include "serial/serial_port_backend.h"
#if KARVELLO_NETWORK_LINE
#include "serial/tcp_backend.h"
#endif

namespace karvello {
namespace {

// Every backend made here is a QObject: the line deletes a retired one through it, later.
template <typename Backend>
LineFactory::Made QObjectBackend(Backend* backend) {
  static_assert(std::is_base_of_v<QObject, Backend>, "a line backend must be a QObject");
  return {backend, {}};
}

}  // namespace

LineFactory::Made LineFactory::Make(const LineAddress& address, QObject* parent) const {
  if (!address.IsNetwork()) return QObjectBackend(new SerialPortBackend(address, ports_, parent));
#if KARVELLO_NETWORK_LINE
  return QObjectBackend(new TcpBackend(address, network_, parent));
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
  // All tried at once, none waited on longer than the probe's bound.
  std::vector<int> numbers;
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) numbers.push_back(n);
  const std::vector<Probed> found = probe.TryAll(numbers);
  for (std::size_t i = 0; i < numbers.size() && i < found.size(); ++i) {
    if (found[i] == Probed::kOpens) return LineAddress::Port(numbers[i]);
  }
  return std::nullopt;
}

}  // namespace karvello
