// The simulated machine's <commctrl.h>.
#pragma once

#include <windows.h>

void WINAPI InitCommonControls(void);
