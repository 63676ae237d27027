// The status watcher.
#include "../monitor/monitor.h"

// The window thread comes later; for now the watcher only clears the flag.
BOOL StartStatusWatcher(void) {
    InterlockedExchange(&DriverIndexRebuildPending, 0);
    return TRUE;
}
