// zevmon: loads the monitor into a simulated machine and drives it as the
// spooler would.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/zevuruzi_module.h"
#include "monitor/monitor.h"
#include "sim/machine.h"

namespace {

// The built-in machine: one USB port, a file port and a null port.
const char BuiltInMachine[] = R"(REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Print\Monitors\VO DUV Udadizo]
"Driver"="ZEVURUZI.DLL"
)";

void addPort(sim::Registry& registry, const std::string& name, const PortConfig& config) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&config);
    registry.setValue(std::string(MonitorKeyPath) + "\\" + name, "Property", REG_BINARY,
                      std::vector<BYTE>(bytes, bytes + sizeof config));
}

int demo() {
    host::loadZevuruzi();
    sim::Registry& registry = sim::machine().registry();
    registry.importText(BuiltInMachine, "built-in machine");
    PortConfig config;
    std::memset(&config, 0, sizeof config);
    addPort(registry, "NUL:", config);
    config.kind = PortKindFile;
    std::strcpy(config.fileName, "C:\\jobs\\out.prn");
    addPort(registry, "FILE:", config);
    std::memset(&config, 0, sizeof config);
    config.kind = PortKindUsb;
    config.usb.interfaceGuid = {0x6A7AD4E2, 0xAE15, 0x11D7, {0x89, 0x0B, 0x00, 0x80, 0xAD, 0x72, 0xB9, 0xD1}};
    std::strcpy(config.usb.instanceId, "USB\\VID_04B8&PID_0202\\5&2A1B3C4D&0&1");
    config.usb.writePipe = 1;
    addPort(registry, "USB-001", config);

    std::printf("== Starting the monitor\n");
    MONITOR_TABLE table;
    if (!InitializeMonitorEx(const_cast<LPSTR>(MonitorKeyPath), &table)) {
        std::printf("InitializeMonitorEx failed: %s (%u)\n", sim::errorName(GetLastError()).c_str(),
                    (unsigned)GetLastError());
        return 1;
    }
    std::printf("InitializeMonitorEx(\"%s\") succeeded; the table has 13 slots.\n\n", MonitorKeyPath);
    std::printf("== Ports loaded from the registry\n");
    std::printf("%-10s %-16s %-10s %s\n", "Port", "Monitor", "Type", "Description");
    for (PortRecord* record = PortList; record; record = record->next) {
        CHAR monitorName[PortTextMax] = "", description[PortTextMax] = "";
        DWORD type = 0;
        FillPortInfo(record, monitorName, description, &type);
        std::printf("%-10s %-16s %-10s %s\n", record->name, monitorName,
                    type == (PORT_TYPE_WRITE | PORT_TYPE_READ) ? "write+read" : "write", description);
    }
    sim::machine().reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "demo";
    if (command == "demo") return demo();
    if (command == "--help" || command == "-h") {
        std::printf("usage: zevmon demo\n");
        return 0;
    }
    std::fprintf(stderr, "zevmon: unknown command '%s' (try: zevmon --help)\n", command.c_str());
    return 2;
}
