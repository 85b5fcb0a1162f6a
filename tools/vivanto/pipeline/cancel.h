// Ctrl-C (SIGINT) and SIGTERM set the host's cancel flag, which every render
// hands the stage in its pipe record; the stage reads it before each row and
// stops. Whoever started the work then sees it cancelled and keeps nothing.
#pragma once

#include "bibble_host.h"

namespace vivanto {

// Installs the handlers; call once before any render.
void catchInterrupts();
// The flag to put into every PipeData.
HostBool* cancelFlag();
bool cancelled();

} // namespace vivanto
