// A USB printer served inside the test program. Wine's kernel drivers cannot
// carry the pipe files of a device path, so the DLL's imports of the file and
// device calls are redirected here: calls on a virtual printer's device path
// and on its "\NN" pipe files are answered by that printer, every other call
// goes on to kernel32 unchanged.
#pragma once

#include <windows.h>

#include "monitor/monitor.h"

#include <string>
#include <vector>

// Redirects the module's imports of CreateFileA, CloseHandle, WriteFile,
// ReadFile, DeviceIoControl, SetCommTimeouts and SetEndOfFile; returns how many
// of the seven were found and redirected.
int interposeFileCalls(HMODULE module);

// The DLL loaded with its file and device calls redirected, before it runs
// anything, and started as the spooler does. Returns once the status window
// has taken a sent message, so its thread has finished starting: Wine kills
// a process (exit status 137) that ends while that thread is still starting.
MONITOR_TABLE startMonitorOnVirtualPrinters(HWND* statusWindow = NULL);

// One handle the DLL opened on a virtual printer.
struct VirtualHandle {
    HANDLE value;
    std::string name;        // as the DLL passed it to CreateFileA
    int pipe;                // -1 for the device itself
    DWORD access, share;
    bool open;
    bool hasTimeouts;
    COMMTIMEOUTS timeouts;   // the last ones set, when hasTimeouts
    int endOfFileCalls;
    DWORD deadError;         // not 0: its printer was pulled out, and every call but the close fails so
};

// A device control other than the descriptor request, as the device saw it.
struct VirtualControl {
    DWORD code;
    std::string input;
};

class VirtualPrinter {
public:
    // Serves the device path (compared ignoring case) while it lives. Its
    // descriptors: configuration, printer-class interface, bulk OUT 0x01 and
    // bulk IN 0x82, so pipe 00 is the OUT pipe and 01 the IN pipe.
    explicit VirtualPrinter(const std::string& devicePath);
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    void queueInput(const std::string& data);        // what the IN pipe returns next
    void setControlReply(const std::string& reply);  // the answer to every other control code
    // Pulled out: every handle opened so far is dead, its calls failing with the driver's error.
    void pullOut(DWORD error);

    std::vector<VirtualHandle> handles() const;      // in the order opened, closed ones included
    std::string received() const;                    // everything written to the OUT pipe
    std::vector<VirtualControl> controls() const;
    int descriptorRequests() const;

private:
    friend struct VirtualPrinterAccess;
    std::string devicePath_;
    std::string descriptors_;
    std::vector<VirtualHandle> handles_;
    std::string received_, input_, controlReply_;
    std::vector<VirtualControl> controls_;
    int descriptorRequests_ = 0;
};
