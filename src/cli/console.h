#pragma once
// The terminal or console that karvello-cli writes to, as each system has it
// (console_posix.cpp, console_win.cpp).

#include <QtGlobal>

namespace karvello::cli {

// While it lives, the output reads as karvello-cli writes it: a Windows console shows UTF-8
// ("Ω", the detector's Chinese) and gets its own code page back at the end; on POSIX a closed
// pipe is a failed write (EPIPE), not the end of the program.
class Console {
 public:
  Console();
  ~Console();
  Q_DISABLE_COPY(Console)

 private:
  unsigned previousCodePage_ = 0;
};

// Whether standard error is a terminal: on Windows a console window, not a file or a pipe, nor
// NUL.
bool StandardErrorIsTerminal();
// Erases the line of the seconds left on standard error.
void EraseProgressLine();

}  // namespace karvello::cli
