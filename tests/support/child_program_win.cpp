#include "support/child_program.h"

namespace karvello::testing {

// Windows has no signals to send to another process: a test that needs one is POSIX only.
void ChildProgram::Signal(int) {}

}  // namespace karvello::testing
