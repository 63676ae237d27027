// The host build links the monitor into each program; this file presents it to
// the simulated machine as the module ZEVURUZI.DLL.
#include "zevuruzi_module.h"

#include "../monitor/monitor.h"
#include "../resources/string_table.h"

namespace host {

namespace {

// The table the module's InitializeMonitorEx gave last: the monitor's own
// entry points, the same for every start in this process.
MONITOR_TABLE started;
bool hasStarted = false;

}  // namespace

const MONITOR_TABLE* startedMonitorTable() { return hasStarted ? &started : nullptr; }

sim::Module zevuruziModule() {
    sim::Module module;
    module.fileName = MONITOR_FILE_NAME;
    module.entryPoint = DllEntryPoint;
#define HOST_STRING(id, text) module.strings[id] = text;
    MONITOR_STRING_TABLE(HOST_STRING)
#undef HOST_STRING
    module.unload = [] {
        // What a process exit would discard. The heap blocks go with the machine's heap.
#define RESET_STATE_LOCK(name)                        \
    if (name.DebugInfo) DeleteCriticalSection(&name); \
    ZeroMemory(&name, sizeof name);
#define RESET_STATE_VALUE(type, name) ZeroMemory((void*)&name, sizeof name);
        MONITOR_PROCESS_STATE(RESET_STATE_LOCK, RESET_STATE_VALUE)
    };
    module.initializeMonitor = [](const std::string& root, MONITOR_TABLE& table) {
        if (!InitializeMonitorEx(const_cast<LPSTR>(root.c_str()), &table)) return FALSE;
        started = table;
        hasStarted = true;
        return TRUE;
    };
    return module;
}

HINSTANCE loadZevuruzi() {
    sim::machine().reset();
    return sim::machine().loadModule(zevuruziModule());
}

}  // namespace host
