// Job start and end: the back-end of the port's kind is opened at StartDocPort
// and closed at EndDocPort; the record's flags say which state the port is in.
#include "../monitor/monitor.h"

// A job is deferred when the spooler gives a document without a name to a port
// that cannot be read from: nothing is opened until the next real job. Every
// USB port can be read from, so a USB job is never deferred.
// Only the port type matters here; it is worked out in a local, since the
// record's texts belong to enumeration, which refreshes them under the lock.
BOOL IsDeferredJob(PortRecord* record, DWORD level, LPBYTE docInfo) {
    DWORD portType = 0;
    FillPortInfo(record, NULL, NULL, &portType);
    if (portType & PORT_TYPE_READ) return FALSE;
    // DOC_INFO_1 and DOC_INFO_2 both begin with the document name.
    return docInfo != NULL && (level == 1 || level == 2) && ((DOC_INFO_1A*)docInfo)->pDocName == NULL;
}

BOOL OpenJobBackEnd(PortRecord* record, DWORD level, LPBYTE docInfo) {
    if (record->flags & JobBackEndOpen) return Fail(ERROR_INVALID_PARAMETER);
    if (IsDeferredJob(record, level, docInfo)) {
        record->flags |= JobDeferred;
        return TRUE;
    }
    record->activeKind = record->config.kind;
    if (!BackEndForKind(record->activeKind)->open(record)) return FALSE;  // the back-end's error stays
    record->flags |= JobBackEndOpen;
    return TRUE;
}

BOOL CloseJobBackEnd(PortRecord* record) {
    if (record->flags & JobDeferred) {
        record->flags &= ~JobDeferred;
        return TRUE;
    }
    if (!(record->flags & JobBackEndOpen)) return Fail(ERROR_INVALID_PARAMETER);
    BOOL result = BackEndForKind(record->activeKind)->close(record);
    record->flags &= ~JobBackEndOpen;
    return result;
}

// The StartDocPort slot of MONITOR_TABLE: its block in zevuruzi.h.
// A job with an id holds a handle on its printer until EndDocPort; a printer
// that cannot be opened does not stop the job.
BOOL WINAPI StartDocPort(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo) {
    PortRecord* record = CheckPortHandle(port);
    if (record == NULL) return FALSE;
    // A second start while a job's back-end is open is refused before anything
    // changes: the running job keeps its printer handle, which its EndDocPort closes.
    if (record->flags & JobBackEndOpen) return Fail(ERROR_INVALID_PARAMETER);
    // A handle left by a start that was never ended (a deferred job) is
    // released here rather than lost.
    if (record->printer != NULL) ClosePrinter(record->printer);
    record->printer = NULL;
    if (jobId != 0 && !OpenPrinterA(printerName, &record->printer, NULL)) record->printer = NULL;
    record->jobId = jobId;
    if (OpenJobBackEnd(record, level, docInfo)) return TRUE;
    // After a failed start the spooler retries the start or drops the job; it
    // makes no EndDocPort, so a failed start holds nothing.
    DWORD error = GetLastError();
    if (record->printer != NULL) ClosePrinter(record->printer);
    record->printer = NULL;
    return Fail(error);
}

// The EndDocPort slot of MONITOR_TABLE: its block in zevuruzi.h.
BOOL WINAPI EndDocPort(HANDLE port) {
    PortRecord* record = CheckPortHandle(port);
    if (record == NULL) return FALSE;
    BOOL result = CloseJobBackEnd(record);
    // Closing the printer must not change the error the job's end reports.
    DWORD error = GetLastError();
    if (record->printer != NULL) {
        // The 95 DDK asks EndDocPort to delete the finished job from the queue
        // with SetJob; without it the job stays there for ever. On 95/98/Me the
        // control that deletes a job is JOB_CONTROL_CANCEL. Whatever the
        // spooler answers, the job's end reports its own result.
        SetJobA(record->printer, record->jobId, 0, NULL, JOB_CONTROL_CANCEL);
        ClosePrinter(record->printer);
        record->printer = NULL;
    }
    SetLastError(error);
    return result;
}
