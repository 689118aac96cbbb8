#include "child_startup.h"
#include "failure_box.h"
#include "launch_options.h"
#include "launch_plan.h"
#include "run_launcher.h"
#include "start_failure.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace kestrovan {

namespace {

static_assert(start_flags::use_show_window == STARTF_USESHOWWINDOW);
static_assert(start_flags::use_size == STARTF_USESIZE);
static_assert(start_flags::use_position == STARTF_USEPOSITION);
static_assert(start_flags::use_hot_key == STARTF_USEHOTKEY);
static_assert(start_flags::title_is_link_name == STARTF_TITLEISLINKNAME);
static_assert(start_flags::title_is_app_id == STARTF_TITLEISAPPID);

using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);

void report_start_failure(DWORD error) {
    StartFailureBuffer buffer;
    const std::string_view text = start_failure_text(error, buffer);
    // Not flushed here: the runtime's exit flushes stdout.
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Standard output is lost when the launcher is started from the desktop; a box is what the user
// sees. USER32 is loaded only now, so that it is no import of the image and a start that
// succeeds never loads it; it is a known DLL, which the loader never looks for beside the image.
void show_failure_message(DWORD error) {
    const HMODULE user32 = LoadLibraryW(L"user32.dll");
    if (user32 == nullptr) {
        return;
    }
    // Through a pointer to a function of no parameters, the type that converts to any other.
    const auto message_box = reinterpret_cast<MessageBoxFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "MessageBoxW")));
    if (message_box == nullptr) {
        return;
    }
    FailureBoxText<launch_options::failure_message.size()> text;
    write_failure_box_text(launch_options::failure_message, error, text.data());
    message_box(nullptr, text.data(), launch_options::failure_caption.data(), MB_OK | MB_ICONERROR);
}

StartupFields given_startup() {
    STARTUPINFOW given{};
    given.cb = sizeof(given);
    GetStartupInfoW(&given);
    return StartupFields{given.dwFlags, given.wShowWindow, given.dwX, given.dwY, given.dwXSize,
                         given.dwYSize, given.lpTitle,
                         reinterpret_cast<std::uintptr_t>(given.hStdInput)};
}

// The platform never writes to the title; its type is writable only by the header's choice.
void hand_on(const StartupFields& fields, STARTUPINFOW& startup) {
    startup.dwFlags = fields.flags;
    startup.wShowWindow = fields.show_window;
    startup.dwX = fields.x;
    startup.dwY = fields.y;
    startup.dwXSize = fields.width;
    startup.dwYSize = fields.height;
    startup.lpTitle = const_cast<wchar_t*>(fields.title);
    startup.hStdInput = reinterpret_cast<HANDLE>(fields.hot_key);
}

// The launch options are constants, so an option that is off leaves no code in the image.
void apply_launch_options(STARTUPINFOW& startup) {
    StartupFields fields{};
    if constexpr (launch_options::forward_startup) {
        fields = forwarded_startup(given_startup());
    }
    if constexpr (!launch_options::app_id.empty()) {
        fields = with_app_id(fields, launch_options::app_id);
    }
    hand_on(fields, startup);
}

// A refused plan and a refused start alike: reported, shown when the vendor asked for a box.
int exit_status_after_failure(DWORD error) {
    report_start_failure(error);
    if constexpr (!launch_options::failure_message.empty()) {
        show_failure_message(error);
    }
    return launch_options::exit_with_child_code ? static_cast<int>(error) : 0;
}

int exit_status_of(HANDLE child_process) {
    DWORD code = 0;
    if constexpr (launch_options::exit_with_child_code) {
        GetExitCodeProcess(child_process, &code);
    }
    return static_cast<int>(code);
}

}  // namespace

std::size_t query_module_path(PathBuffer& buffer) {
    return GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
}

int run_launcher() {
    LaunchPlan plan = make_launch_plan();
    // Never handed to the platform: an empty application name is no promise that nothing starts.
    if (plan.refusal != 0) {
        return exit_status_after_failure(plan.refusal);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if constexpr (launch_options::forward_startup || !launch_options::app_id.empty()) {
        apply_launch_options(startup);
    }
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
        return exit_status_after_failure(GetLastError());
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    const int status = exit_status_of(child.hProcess);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return status;
}

}  // namespace kestrovan

int main() {
    return kestrovan::run_launcher();
}
