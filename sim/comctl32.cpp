// comctl32 of the simulated machine.
#include <commctrl.h>

#include "state.h"

void WINAPI InitCommonControls(void) { sim::fault("InitCommonControls"); }
