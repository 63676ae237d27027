// comdlg32 of the simulated machine: the open-file dialog, recorded and answered
// from a script, or by a prompt that a tool installs.
#include <commdlg.h>

#include <cstring>

#include "state.h"

using sim::machine;

static thread_local DWORD dialogError = 0;

DWORD WINAPI CommDlgExtendedError(void) { return dialogError; }

BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA request) {
    dialogError = 0;
    if (auto e = sim::fault("GetOpenFileNameA")) {
        dialogError = *e;
        return FALSE;
    }
    if (!request || (request->lStructSize != OPENFILENAME_SIZE_VERSION_400A && request->lStructSize != sizeof *request)) {
        dialogError = 0x0001;  // CDERR_STRUCTSIZE
        return FALSE;
    }
    sim::Machine::OpenFileCall call;
    std::memset(&call.request, 0, sizeof call.request);
    std::memcpy(&call.request, request, request->lStructSize);
    for (const char* p = request->lpstrFilter; p && *p; p += std::strlen(p) + 1) call.filter.push_back(p);

    auto& ui = machine().ui();
    std::optional<std::string> answer;
    std::function<std::optional<std::string>(const sim::Machine::OpenFileCall&)> prompt;
    {
        std::lock_guard<std::mutex> lock(ui.mutex);
        ui.openFileCalls.push_back(call);
        if (!ui.openFileAnswers.empty()) {
            answer = ui.openFileAnswers.front();
            ui.openFileAnswers.erase(ui.openFileAnswers.begin());
        } else {
            prompt = ui.openFilePrompt;
        }
    }
    if (prompt) answer = prompt(call);
    if (!answer) return FALSE;  // cancelled: no extended error
    if (!request->lpstrFile || answer->size() + 1 > request->nMaxFile) {
        dialogError = 0x3003;  // FNERR_BUFFERTOOSMALL
        return FALSE;
    }
    std::memcpy(request->lpstrFile, answer->c_str(), answer->size() + 1);
    size_t slash = answer->find_last_of('\\');
    request->nFileOffset = (WORD)(slash == std::string::npos ? 0 : slash + 1);
    return TRUE;
}

// ---- the control API's open-file dialog: scripted answers, or a prompt ----

namespace sim {

void Machine::scriptOpenFile(std::optional<std::string> answer) {
    std::lock_guard<std::mutex> lock(ui_->mutex);
    ui_->openFileAnswers.push_back(std::move(answer));
}

void Machine::setOpenFilePrompt(std::function<std::optional<std::string>(const OpenFileCall&)> prompt) {
    std::lock_guard<std::mutex> lock(ui_->mutex);
    ui_->openFilePrompt = std::move(prompt);
}

std::vector<Machine::OpenFileCall> Machine::openFileCalls() const {
    std::lock_guard<std::mutex> lock(ui_->mutex);
    return ui_->openFileCalls;
}

}  // namespace sim
