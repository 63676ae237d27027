// What the three parts of the simulated spooler process share: the spool
// folder (spool_folder.cpp), the monitors, ports and playback (spooler.cpp),
// and the application calls that winspool.drv hands it (spooler_calls.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "state.h"

namespace sim {

extern const char MonitorsPath[];

// ---- the spool folder (spool_folder.cpp) ----
// A host file error as the Win32 error a spooler reports for it.
DWORD fileError(int error);
std::string jobFileName(DWORD id, const char* extension);
// The job's three files in the spool folder: NNNNN.spl, .job and .ctl.
void placeJob(SpoolerJob& job, const std::string& folder);
// The queue in the order it prints: by priority, then as given.
void sortQueue(Machine::Spooler& spooler);
// A new job's files, its record first; 0 or the error.
DWORD createJobFiles(SpoolerJob& job, const std::string& folder);
// Writes the job's record as its state now is; 0 or the error. Jobs without
// a spool folder have none.
DWORD writeRecord(const SpoolerJob& job);
// A job that leaves the queue takes its files with it, its record saying so
// first; what could not be removed is said in its folderProblem.
void dropJob(Machine::Spooler& spooler, const std::shared_ptr<SpoolerJob>& job);
// The jobs in the spool folder in the order they print, as a start after a
// power cut finds them; what it did and what cannot be read go to the notices.
void loadSpoolFolder(Machine::Spooler& spooler);

// ---- monitors, ports and playback ----
// A monitor's EnumPorts answer, asked as the spooler asks: the size, then a
// buffer of that size. 0, or the monitor's error.
DWORD askForPorts(const MONITOR_TABLE& monitor, DWORD level, std::vector<BYTE>& answer, DWORD& count);
// ClosePort, told to the trace the monitor was started with; the other calls
// of a job's playback are told the same way.
BOOL closeMonitorPort(const Machine::Spooler::Monitor& monitor, HANDLE port);
// The ports of every monitor, refreshed before a job looks for its port.
void mapPorts(Machine::Spooler& spooler);
// A job's playback thread starts; under the lock.
void startPlayback(Machine::Spooler& spooler, const std::shared_ptr<SpoolerJob>& job);

}  // namespace sim
