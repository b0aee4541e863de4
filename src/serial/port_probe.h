#pragma once
// Whether a port opens now, found out apart from the line in use: the line's own port is never
// opened, closed or reconfigured by a probe.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "serial/port_map.h"

namespace karvello {

// What trying a port found.
enum class Probed {
  kOpens,        // it opened (and was closed again)
  kDoesNotOpen,  // no device, no right to it, or another program holds it
  kTimedOut,     // its open had not returned within the probe's bound: left out
};

// The longest a probe waits for ports to open. An open can block for many seconds (a Bluetooth
// port on Windows) or for ever (a serial device waiting for its carrier, as Wine maps the
// machine's ttyS ports): the port list is made without waiting longer on any of them.
inline constexpr std::chrono::milliseconds kProbeBound{1000};
// How many opens a probe makes at once, each on a thread of its own: enough for the ports of a
// PC, few enough that the threads start at once where the system has many ports (Wine names up
// to 256). A port that no thread has reached by the bound counts as not opened in time.
inline constexpr std::size_t kProbeThreads = 16;

class PortProbe {
 public:
  virtual ~PortProbe() = default;
  // True when port `number` has a device that opens now (it exists, the user may open it, and
  // no program holds its lock). The port is closed again before this returns.
  virtual bool Opens(int number) = 0;
  // Tries each of `numbers`, at once where the probe can; one answer per number, in order. This
  // default tries them one after the other through Opens.
  virtual std::vector<Probed> TryAll(const std::vector<int>& numbers);
};

// Tries the devices through QSerialPort on kProbeThreads threads at once, and waits at most
// `bound` for all of them together. An open that has not returned by then is left to finish on
// its thread (the port is closed at once if it ever opens); until it has, that port is answered
// kTimedOut at once without being tried again.
class QtPortProbe : public PortProbe {
 public:
  // Opens the device at `path` and closes it again; true when it opened. Runs on a thread of its
  // own and may block.
  using Opener = std::function<bool(const std::string& path)>;

  explicit QtPortProbe(const PortMap& ports, std::chrono::milliseconds bound = kProbeBound,
                       Opener opener = OpenSerialPort);
  ~QtPortProbe() override;
  bool Opens(int number) override;
  std::vector<Probed> TryAll(const std::vector<int>& numbers) override;

  // The opener of a real port: QSerialPort, read and write.
  static bool OpenSerialPort(const std::string& path);

 private:
  struct Attempt;
  struct Batch;
  const PortMap& ports_;
  std::chrono::milliseconds bound_;
  Opener opener_;
  // The opens that outlasted the bound and have not returned yet, by device path, with the
  // TryAll they were made in.
  std::map<std::string, std::pair<std::shared_ptr<Batch>, std::shared_ptr<Attempt>>> pending_;
};

}  // namespace karvello
