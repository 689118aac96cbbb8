#include "launch_plan.h"
#include "run_launcher.h"
#include "start_failure.h"

#include <windows.h>

#include <cstdio>

namespace kestrovan {

namespace {

void report_start_failure(DWORD error) {
    StartFailureBuffer buffer;
    const std::string_view text = start_failure_text(error, buffer);
    // Not flushed here: the runtime's exit flushes stdout.
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

std::size_t query_module_path(PathBuffer& buffer) {
    return GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
}

int run_launcher() {
    LaunchPlan plan = make_launch_plan();
    // Never handed to the platform: an empty application name is no promise that nothing starts.
    if (plan.refusal != 0) {
        report_start_failure(plan.refusal);
        return 0;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};

    if (!CreateProcessW(/*application_name=*/plan.runtime_path.data(),
                        /*command_line=*/plan.command_line.data(),
                        /*process_attributes=*/nullptr,
                        /*thread_attributes=*/nullptr,
                        /*inherit_handles=*/FALSE,
                        /*creation_flags=*/0,
                        /*environment=*/nullptr,
                        /*current_directory=*/plan.working_directory.data(),
                        /*startup_info=*/&startup,
                        /*process_information=*/&child)) {
        report_start_failure(GetLastError());
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
