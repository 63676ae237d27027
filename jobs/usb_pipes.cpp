// The USB pipe back-end: at every job start the printer is found by its device
// instance id, its device file is opened and asked for its USB descriptors, and
// the bulk OUT and IN pipes that the descriptors name are opened below the
// device path. Writes go to the OUT pipe, reads come from the IN pipe, device
// controls go to the device, and time-outs to all three.
#include "../monitor/monitor.h"

static BOOL IsOpen(HANDLE handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

BOOL SetUsbInstanceId(UsbPortConfig* usbConfig, LPCSTR instanceId) {
    if (usbConfig == NULL || instanceId == NULL) return Fail(ERROR_INVALID_PARAMETER);
    lstrcpynA(usbConfig->instanceId, instanceId, sizeof(usbConfig->instanceId));
    return TRUE;
}

// Walks the descriptors the device returned: every endpoint descriptor is a
// pipe, numbered from 0 in the order returned; a bulk or interrupt endpoint
// (bit 0x02 of bmAttributes) becomes the read pipe if it is IN (bit 0x80 of
// bEndpointAddress), the write pipe otherwise, the last one of each direction
// winning. A direction with no such endpoint keeps its configured pipe.
// The bytes come from a device: a header needs two bytes, a length below 2 or
// one that runs past the bytes returned ends the walk, and an endpoint's
// address and attributes are read only when its descriptor holds them.
void ChooseUsbPipes(const BYTE* descriptors, DWORD length, UsbPortConfig* usbConfig) {
    INT endpoint = 0;
    DWORD position = 0;
    while (length - position >= 2) {
        DWORD descriptorLength = descriptors[position];
        BYTE type = descriptors[position + 1];
        if (descriptorLength < 2 || descriptorLength > length - position) break;
        if (type == 5) {
            if (descriptorLength >= 4) {
                BYTE address = descriptors[position + 2], attributes = descriptors[position + 3];
                if (attributes & 0x02) {
                    if (address & 0x80)
                        usbConfig->readPipe = endpoint;
                    else
                        usbConfig->writePipe = endpoint;
                }
            }
            endpoint++;
        }
        position += descriptorLength;
    }
}

// "<device path>\NN": at least two decimal digits. A number of more than seven
// digits, or a name that does not fit MAX_PATH with its terminator, is refused.
BOOL BuildPipeFileName(LPSTR name, LPCSTR devicePath, INT pipe) {
    CHAR number[16];
    int digits = wsprintfA(number, "%02d", pipe);
    name[0] = 0;
    if (digits > 7) return Fail(ERROR_INVALID_PARAMETER);
    return JoinPath(name, MAX_PATH, devicePath, number);
}

// Opens one pipe; a pipe that cannot be opened, or whose name is refused, holds
// INVALID_HANDLE_VALUE, so that its I/O fails while the job goes on.
static HANDLE OpenPipe(LPCSTR devicePath, INT pipe, DWORD access) {
    CHAR name[MAX_PATH];
    if (!BuildPipeFileName(name, devicePath, pipe)) return INVALID_HANDLE_VALUE;
    return CreateFileA(name, access, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The printer is the interface whose instance id is the port's, whole, ignoring letter case.
static BOOL IsPortsPrinter(const UsbInterfaceInfo* info, LPCSTR instanceId) {
    return CompareAsciiNoCase(info->instanceId, instanceId, 0x7fffffff) == 0;
}

BOOL OpenUsbPipes(UsbPipeSet* pipes, UsbPortConfig* usbConfig) {
    if (pipes == NULL || usbConfig == NULL) return Fail(ERROR_OPEN_FAILED);
    if (usbConfig->instanceId[0] == 0) return Fail(ERROR_OPEN_FAILED);

    // The printer is looked up afresh at every job: re-plugged, it may have a new
    // path. A path SetupAPI does not answer stays empty, so the open below fails
    // rather than reach another printer.
    UsbInterfaceInfo info;
    if (!FindInterface(&usbConfig->interfaceGuid, IsPortsPrinter, usbConfig->instanceId, &info))
        return Fail(GetLastError() == ERROR_NO_MORE_ITEMS ? ERROR_NOT_READY : ERROR_OPEN_FAILED);

    pipes->device = CreateFileA(info.devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (pipes->device == INVALID_HANDLE_VALUE) {
        pipes->device = NULL;
        return Fail(ERROR_INVALID_PARAMETER);
    }
    lstrcpynA(pipes->devicePath, info.devicePath, sizeof pipes->devicePath);
    SetEndOfFile(pipes->device);  // what the driver makes of it is its own affair

    BYTE descriptors[UsbDescriptorBufferSize];
    DWORD returned = 0;
    if (ControlUsbDevice(pipes, GetDescriptorsIoctl, NULL, 0, descriptors, sizeof descriptors, &returned))
        ChooseUsbPipes(descriptors, returned < sizeof descriptors ? returned : sizeof descriptors, usbConfig);

    if (usbConfig->writePipe >= 0) pipes->writeHandle = OpenPipe(info.devicePath, usbConfig->writePipe, GENERIC_WRITE);
    if (usbConfig->readPipe >= 0) pipes->readHandle = OpenPipe(info.devicePath, usbConfig->readPipe, GENERIC_READ);
    return TRUE;
}

static void ReleasePendingRead(UsbPendingRead* pending) {
    if (InterlockedDecrement(&pending->owners) == 0) GlobalFree(pending);
}

static DWORD WINAPI ReadPipeThread(LPVOID parameter) {
    UsbPendingRead* pending = (UsbPendingRead*)parameter;
    pending->result = ReadFile(pending->pipe, pending->data, pending->size, &pending->count, NULL);
    if (pending->count > pending->size) pending->count = pending->size;
    pending->error = pending->result ? ERROR_SUCCESS : GetLastError();
    ReleasePendingRead(pending);
    return 0;
}

// The port lets go of its read, ended or not, and of the thread's handle.
static void ForgetPendingRead(UsbPipeSet* pipes) {
    if (pipes->pendingRead == NULL) return;
    CloseHandle(pipes->reader);
    ReleasePendingRead(pipes->pendingRead);
    pipes->reader = NULL;
    pipes->pendingRead = NULL;
}

// A pipe that never opened (INVALID_HANDLE_VALUE) is forgotten, not closed.
// A read still waiting for the printer ends as its pipe closes: a WDM driver
// completes the pending requests of a file whose last handle is closed
// (IRP_MJ_CLEANUP). Its thread is given the same bound as ReadPort to end; a
// driver that keeps the read leaves the thread to free the read by itself.
BOOL CloseUsbPipes(UsbPipeSet* pipes) {
    if (pipes == NULL) return Fail(ERROR_INVALID_PARAMETER);
    HANDLE* fields[] = {&pipes->device, &pipes->writeHandle, &pipes->readHandle};
    for (HANDLE* field : fields) {
        if (IsOpen(*field)) CloseHandle(*field);
        *field = NULL;
    }
    pipes->devicePath[0] = 0;
    if (pipes->pendingRead != NULL) WaitForSingleObject(pipes->reader, UsbReadWaitMilliseconds);
    ForgetPendingRead(pipes);
    return TRUE;
}

BOOL WriteUsbPipe(UsbPipeSet* pipes, LPBYTE buffer, DWORD size, LPDWORD written) {
    if (pipes == NULL || pipes->writeHandle == NULL) return Fail(ERROR_INVALID_PARAMETER);
    return WriteFile(pipes->writeHandle, buffer, size, written, NULL);
}

// On 98 and Me neither comm time-outs, which fail on a USB device's handle,
// nor overlapped reads (95/98 have "no asynchronous file I/O except on serial
// devices") bound a read of a USB pipe,
// so the read is made by a thread, which ReadPort waits for no longer than
// UsbReadWaitMilliseconds. Past that it fails with ERROR_TIMEOUT and the read
// stays pending: the next ReadPort waits for the same read, so bytes that come
// late are not lost, and only one read is ever out. A read that returned more
// than the caller takes keeps the rest for the next ReadPort.
BOOL ReadUsbPipe(UsbPipeSet* pipes, LPBYTE buffer, DWORD size, LPDWORD read) {
    if (pipes == NULL || pipes->readHandle == NULL) return Fail(ERROR_INVALID_PARAMETER);
    if (read != NULL) *read = 0;
    if (!IsOpen(pipes->readHandle)) return Fail(ERROR_INVALID_HANDLE);
    UsbPendingRead* pending = pipes->pendingRead;
    if (pending == NULL) {
        pending = (UsbPendingRead*)GlobalAlloc(GPTR, sizeof *pending);
        if (pending == NULL) return FALSE;
        pending->owners = 2;
        pending->pipe = pipes->readHandle;
        pending->size = size < sizeof pending->data ? size : sizeof pending->data;
        DWORD threadId;
        HANDLE reader = CreateThread(NULL, 0, ReadPipeThread, pending, 0, &threadId);
        if (reader == NULL) {
            DWORD error = GetLastError();
            GlobalFree(pending);
            return Fail(error);
        }
        pipes->reader = reader;
        pipes->pendingRead = pending;
    }
    DWORD waited = WaitForSingleObject(pipes->reader, UsbReadWaitMilliseconds);
    if (waited == WAIT_TIMEOUT) return Fail(ERROR_TIMEOUT);
    if (waited != WAIT_OBJECT_0) return FALSE;  // the wait's error; the read stays pending
    if (!pending->result) {
        DWORD error = pending->error;
        ForgetPendingRead(pipes);
        return Fail(error);
    }
    DWORD count = pending->count - pending->taken;
    if (count > size) count = size;
    CopyMemory(buffer, pending->data + pending->taken, count);
    pending->taken += count;
    if (read != NULL) *read = count;
    if (pending->taken >= pending->count) ForgetPendingRead(pipes);
    return TRUE;
}

BOOL ControlUsbDevice(UsbPipeSet* pipes, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                      LPDWORD returned) {
    if (pipes == NULL || pipes->device == NULL) return Fail(ERROR_INVALID_PARAMETER);
    return DeviceIoControl(pipes->device, code, inBuffer, inSize, outBuffer, outSize, returned, NULL);
}

// The device first: if it refuses, the pipes keep their time-outs. Both pipes
// are tried even when the first refuses.
BOOL SetUsbPipeTimeouts(UsbPipeSet* pipes, LPCOMMTIMEOUTS timeouts) {
    if (pipes == NULL || pipes->device == NULL) return Fail(ERROR_INVALID_PARAMETER);
    if (!SetCommTimeouts(pipes->device, timeouts)) return FALSE;
    BOOL written = pipes->writeHandle != NULL ? SetCommTimeouts(pipes->writeHandle, timeouts) : TRUE;
    DWORD error = GetLastError();
    BOOL read = pipes->readHandle != NULL ? SetCommTimeouts(pipes->readHandle, timeouts) : TRUE;
    if (!written && read) SetLastError(error);
    return written && read;
}

// ---- as a back-end of a port ----

static BOOL UsbOpen(PortRecord* record) { return OpenUsbPipes(&record->usb, &record->config.usb); }
static BOOL UsbClose(PortRecord* record) { return CloseUsbPipes(&record->usb); }
// Whether the job's handles still reach a printer: its device is asked for
// the descriptors, as at the job's start. Every call on a handle whose device
// was unplugged fails, whatever code its driver gives.
static BOOL AreUsbHandlesAlive(UsbPipeSet* pipes) {
    BYTE descriptors[UsbDescriptorBufferSize];
    DWORD returned = 0;
    return ControlUsbDevice(pipes, GetDescriptorsIoctl, NULL, 0, descriptors, sizeof descriptors, &returned);
}

// A printer unplugged during a job leaves the job's handles dead for good, and
// the spooler's Retry would write to them for ever. The write's error cannot
// tell (Windows 98's USB stack gives ERROR_GEN_FAILURE, NT's
// ERROR_DEVICE_NOT_CONNECTED, a stalled printer ERROR_SEM_TIMEOUT), so after
// any failed write the printer is looked up again by its instance id, as the
// job's start does. Absent, the write fails at once with its own error, and
// the handles stay. Present at another path, or at the same one with handles
// that no longer answer, the dead handles are closed and the job goes on
// through the device and pipes opened anew. Present with live handles, the
// failure is the printer's own and stands. The count is what reached the
// printer, so the spooler's Retry sends the rest and nothing twice. A
// reopening that failed leaves no device handle, and the next write tries again.
static BOOL UsbWrite(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD written) {
    UsbPipeSet* pipes = &record->usb;
    BOOL closed = pipes->device == NULL;
    // A job without a write pipe has nothing to reopen.
    if (written == NULL || (!closed && pipes->writeHandle == NULL)) return WriteUsbPipe(pipes, buffer, size, written);
    if (!closed && WriteUsbPipe(pipes, buffer, size, written)) return TRUE;
    DWORD error = closed ? ERROR_NOT_READY : GetLastError();
    DWORD sent = closed ? 0 : (*written <= size ? *written : size);
    *written = sent;
    UsbInterfaceInfo info;
    if (!FindInterface(&record->config.usb.interfaceGuid, IsPortsPrinter, record->config.usb.instanceId, &info))
        return Fail(error);
    BOOL samePath = CompareAsciiNoCase(info.devicePath, pipes->devicePath, UsbPathMax) == 0;
    if (samePath && AreUsbHandlesAlive(pipes)) return Fail(error);
    CloseUsbPipes(pipes);
    if (!OpenUsbPipes(pipes, &record->config.usb) || !IsOpen(pipes->writeHandle)) {
        CloseUsbPipes(pipes);
        return Fail(error);
    }
    DWORD more = 0;
    BOOL result = WriteUsbPipe(pipes, buffer + sent, size - sent, &more);
    *written = sent + (more <= size - sent ? more : size - sent);
    return result;
}
static BOOL UsbRead(PortRecord* record, LPBYTE buffer, DWORD size, LPDWORD read) {
    return ReadUsbPipe(&record->usb, buffer, size, read);
}
static BOOL UsbControl(PortRecord* record, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                       LPDWORD returned) {
    return ControlUsbDevice(&record->usb, code, inBuffer, inSize, outBuffer, outSize, returned);
}
static BOOL UsbTimeouts(PortRecord* record, LPCOMMTIMEOUTS timeouts) {
    return SetUsbPipeTimeouts(&record->usb, timeouts);
}

const BackEnd UsbBackEnd = {UsbOpen, UsbClose, UsbWrite, UsbRead, UsbControl, UsbTimeouts};
