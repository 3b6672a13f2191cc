#include <windows.h>

#include "cli/terminal.h"

namespace tunova {

bool outputIsTerminal() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  // Redrawing in place needs the console to read escape sequences; without them (older
  // consoles), plain lines.
  if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
      !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
    return false;
  SetConsoleOutputCP(CP_UTF8);
  return true;
}

int terminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

} // namespace tunova
