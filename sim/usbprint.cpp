// The virtual USB printer driver: its devices and their pipes in the device namespace.
#include "state.h"

namespace sim {

std::shared_ptr<FileObject> openDeviceFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                                           DWORD& error) {
    (void)path;
    (void)access;
    (void)share;
    (void)disposition;
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

}  // namespace sim
