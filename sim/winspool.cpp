// winspool.drv of the simulated machine: printers by name, printer handles.
#include <winspool.h>

#include "state.h"

using sim::machine;

BOOL WINAPI OpenPrinterA(LPSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSA defaults) {
    (void)defaults;
    if (auto e = sim::fault("OpenPrinterA")) {
        SetLastError(*e);
        return FALSE;
    }
    if (!printer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!printerName || !machine().printerExists(printerName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    auto& spooler = machine().spooler();
    std::lock_guard<std::mutex> lock(spooler.mutex);
    uintptr_t value = spooler.next;
    spooler.next += 4;
    spooler.open[value] = printerName;
    *printer = (HANDLE)value;
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
    auto injected = sim::fault("ClosePrinter");
    auto& spooler = machine().spooler();
    bool closed;
    {
        std::lock_guard<std::mutex> lock(spooler.mutex);
        closed = spooler.open.erase((uintptr_t)printer) > 0;
    }
    if (injected || !closed) {
        SetLastError(injected ? *injected : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
