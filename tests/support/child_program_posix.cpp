#include <signal.h>

#include "support/child_program.h"

namespace karvello::testing {

void ChildProgram::Signal(int number) {
  if (Running()) ::kill(static_cast<pid_t>(process_.processId()), number);
}

}  // namespace karvello::testing
