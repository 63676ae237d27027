// Replacing or deleting, at the next start of Windows, a file that a running
// program holds: the way each family of the system documents it.
#pragma once

#include <string>

namespace zevmon {

class BootQueue {
public:
    BootQueue();
    // Where the operations go, for the report: WININIT.INI's [rename] section
    // on 95/98/Me, PendingFileRenameOperations on the NT family and Wine.
    const std::string& where() const { return where_; }

    // replacement takes target's place; both in one folder (one volume).
    // False with the last error set.
    bool replace(const std::string& replacement, const std::string& target);
    bool remove(const std::string& path);
    // Takes back what replace or remove queued for these files.
    bool cancelReplace(const std::string& replacement, const std::string& target);
    bool cancelRemove(const std::string& path);
    // Whether replace(replacement, target) is queued now.
    bool replaceQueued(const std::string& replacement, const std::string& target);

private:
    bool nt_;
    std::string where_;
};

}  // namespace zevmon
