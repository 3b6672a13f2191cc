#pragma once
// The terminal tunova-cli writes to.
namespace tunova {

// Whether standard output is a terminal that can redraw lines in place (on Windows a console,
// with its escape sequences switched on).
bool outputIsTerminal();
// Its width in columns (80 when unknown).
int terminalColumns();

} // namespace tunova
