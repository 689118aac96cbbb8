#include "launch_plan.h"
#include "run_launcher.h"
#include "start_failure.h"

#include <windows.h>

#include <cstdio>

namespace kestrovan {

void query_module_path(PathBuffer& buffer) {
    GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
}

int run_launcher() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    LaunchPlan plan = make_launch_plan();

    if (!CreateProcessW(plan.runtime_path.c_str(), plan.command_line.data(), nullptr, nullptr, FALSE,
                        0, nullptr, plan.working_directory.c_str(), &startup, &child)) {
        const DWORD error = GetLastError();
        // Not flushed here: the runtime's exit flushes stdout.
        std::fputs(start_failure_text(error).c_str(), stdout);
        return 0;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return 0;
}

}  // namespace kestrovan

int main() {
    return kestrovan::run_launcher();
}
