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
void placeJob(SpoolJob& job, const std::string& folder);
// The queue in the order it prints: by priority, then as given.
void sortQueue(Machine::Spooler& spooler);
// Writes the job's record beside its data, whole or not at all; 0 or the
// error. Jobs without a spool folder have none.
DWORD writeRecord(const SpoolJob& job);
// A job that leaves the queue takes its files with it; 0 or the error.
DWORD discard(SpoolJob& job);
// A job that leaves the queue, its files taken as far as they go.
void dropJob(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job);
// Reads the jobs in the spool folder in the order they print and names what
// cannot be read; a spooler that prints takes those waiting that no other run holds.
void loadSpoolFolder(Machine::Spooler& spooler);
void refreshSpoolFolder(Machine::Spooler& spooler);
// The holder's lock on the job's data file, taken or tested.
bool lockData(int fd);
bool holdJob(SpoolJob& job);
bool heldElsewhere(const std::string& dataPath);
// The job's NNNNN.ctl, mapped by its holder (false with errno), read or asked
// to cancel by another run.
bool mapShared(SpoolJob& job);
void readShared(const std::string& path, std::uint64_t& sent);
bool requestCancel(Machine::Spooler& spooler, const SpoolJob& job);
// Cancels a job this spooler does not hold (see spoolerSetJob); 0 or the error.
DWORD cancelUnheld(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job);

// ---- monitors, ports and playback ----
// A monitor's EnumPorts answer, asked as the spooler asks: the size, then a
// buffer of that size. 0, or the monitor's error.
DWORD askForPorts(const PortMonitor& monitor, DWORD level, std::vector<BYTE>& answer, DWORD& count);
// The ports of every monitor, refreshed before a job looks for its port.
void mapPorts(Machine::Spooler& spooler);
// A job's playback thread starts; under the lock.
void startPlayback(Machine::Spooler& spooler, const std::shared_ptr<SpoolJob>& job);

}  // namespace sim
