// The two lists of file operations that a start of Windows carries out before
// anything loads, as text: WININIT.INI's [rename] section on Windows 95, 98
// and Me, and the PendingFileRenameOperations value on the NT family. A file
// that a running program holds is replaced or removed through them.
#pragma once

#include <string>
#include <vector>

namespace zevmon {

// A [rename] line is "DESTINATION=SOURCE" with 8.3 paths; "NUL=FILE" deletes
// FILE. Several lines may have the same left side (NUL), so the section is
// edited as text: the profile calls would merge them.

// The section's lines as they stand, comments and blank lines left out.
std::vector<std::string> renameLines(const std::string& ini);
// The file with the lines added at the end of its [rename] section, made at
// the end of the file if missing. A line already there, letter case aside, is
// not added again; every other line stays as it was. Lines end in CR LF.
std::string addRenameLines(const std::string& ini, const std::vector<std::string>& lines);
// The file without those lines; a [rename] section left empty goes with them.
std::string removeRenameLines(const std::string& ini, const std::vector<std::string>& lines);

// PendingFileRenameOperations holds pairs: a source path, then its
// destination ("!" before it: it may replace a file; empty: the source is
// deleted), each path written \??\C:\... . The pairs whose source is the given
// path (without \??\, letter case aside) are dropped.
// The entries of the value's REG_MULTI_SZ bytes. An empty destination is an
// entry of its own, so the list is walked by count, not by the first empty
// string; an odd count gets its empty destination.
std::vector<std::string> pendingEntries(const char* data, size_t size);
std::vector<std::string> withoutPendingSource(const std::vector<std::string>& entries, const std::string& source);

}  // namespace zevmon
