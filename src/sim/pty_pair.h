#pragma once
// A pseudo-terminal pair standing in for a serial line: the simulated detector works the master
// side, the tool (or a test) opens the slave path as if it were a serial port.

#include <string>

namespace karvello::sim {

class PtyPair {
 public:
  // Opens the master, unlocks the slave and puts the line in raw mode (no echo, no line
  // editing), so that nothing written before a serial port opens the slave is echoed back.
  // Throws std::system_error when the system has no pseudo-terminal to give.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // -1 once closed.
  int MasterFd() const { return master_; }
  // The slave's device path, e.g. /dev/pts/7.
  const std::string& SlavePath() const { return slavePath_; }
  bool IsOpen() const { return master_ >= 0; }
  // Closes the master side, as when a USB adapter is pulled: whoever holds the slave open then
  // reads end of file or an error, and the slave path goes away. The pair still holds its
  // (hung-up) slave, so the terminal's number is not given to a new pair until this one is
  // gone: a port that closes its descriptor before it lets go of its lock file would otherwise
  // leave a new pair on the same number that another program cannot open for that moment.
  void CloseMaster();

 private:
  void CloseBoth();

  int master_ = -1;
  // The pair keeps the slave open itself: while no one else holds it, the master would see a
  // hang-up, and the kernel would reset the raw settings when the last opener closes it.
  int slaveKeeper_ = -1;
  std::string slavePath_;
};

}  // namespace karvello::sim
