#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "cli/console.h"

namespace karvello::cli {

Console::Console() : previousCodePage_(GetConsoleOutputCP()) {
  if (previousCodePage_ != 0) SetConsoleOutputCP(CP_UTF8);
}

Console::~Console() {
  if (previousCodePage_ != 0) SetConsoleOutputCP(previousCodePage_);
}

bool StandardErrorIsTerminal() {
  // _isatty calls NUL a character device too, but NUL has no console mode.
  DWORD mode = 0;
  return _isatty(_fileno(stderr)) != 0 && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

void EraseProgressLine() {
  // A Windows console takes no escape sequences unless told to: the line is overwritten with
  // spaces.
  std::fprintf(stderr, "\r%*s\r", 60, "");
}

}  // namespace karvello::cli
