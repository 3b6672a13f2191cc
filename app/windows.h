#pragma once
// The program's two windows, MainWindow and PlayerWindow: fixed definitions with the handlers
// bound to their events.
#include "host/windows.h"

namespace tunova {

const WindowDefinition& mainWindowDefinition();
const WindowDefinition& playerWindowDefinition();

} // namespace tunova
