#include "child_command.h"
#include "child_startup.h"
#include "directory_root.h"
#include "failure_box.h"
#include "java_environment.h"
#include "launch_options.h"
#include "launch_plan.h"
#include "run_launcher.h"
#include "start_failure.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

// The console twin is built from the same variant folder with this set (add_launcher_image's
// CONSOLE): it is a console program for command-line tools, starting java.exe.
#ifndef KESTROVAN_CONSOLE_TWIN
#define KESTROVAN_CONSOLE_TWIN false
#endif

namespace kestrovan {

namespace {

constexpr bool console_twin = KESTROVAN_CONSOLE_TWIN;
constexpr bool any_launch_option =
    launch_options::forward_startup || !launch_options::app_id.empty() ||
    !launch_options::failure_message.empty() || launch_options::exit_with_child_code ||
    launch_options::forward_arguments || !launch_options::java_options.empty() ||
    launch_options::clean_java_environment || console_twin;
constexpr bool exits_as_the_child = launch_options::exit_with_child_code || console_twin;
constexpr bool own_command_line =
    launch_options::forward_arguments || !launch_options::java_options.empty() || console_twin;
constexpr std::wstring_view runtime_of_image =
    console_twin ? console_runtime_relative_path : runtime_relative_path;
// Forwarded arguments may fill the platform's limit; the rest is known when the image is built.
constexpr std::size_t own_command_line_capacity =
    launch_options::forward_arguments
        ? command_line_limit
        : runtime_of_image.size() + launch_options::java_options.size() + jar_arguments.size() + 1;
static_assert(own_command_line_capacity <= command_line_limit);

// The program and command line of an image whose options change them; the default image uses
// the plan's own.
struct OwnCommand {
    RuntimePath runtime_path;
    std::array<wchar_t, own_command_line_capacity> line;
};
struct PlanCommand {};
using ChildCommand = std::conditional_t<own_command_line, OwnCommand, PlanCommand>;

static_assert(start_flags::use_show_window == STARTF_USESHOWWINDOW);
static_assert(start_flags::use_size == STARTF_USESIZE);
static_assert(start_flags::use_position == STARTF_USEPOSITION);
static_assert(start_flags::use_std_handles == STARTF_USESTDHANDLES);
static_assert(start_flags::use_hot_key == STARTF_USEHOTKEY);
static_assert(start_flags::title_is_link_name == STARTF_TITLEISLINKNAME);
static_assert(start_flags::title_is_app_id == STARTF_TITLEISAPPID);
static_assert(start_flags::prevent_pinning == STARTF_PREVENTPINNING);

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
    // A caller that gives up waiting while the box is open and ends the launcher still has it.
    std::fflush(stdout);
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
    // System-modal, so that the platform does not take the box for the main window, which the
    // show state the launcher was given applies to: hidden, it would never be seen.
    message_box(nullptr, text.data(), launch_options::failure_caption.data(),
                MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
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
    StartupFields given{};
    StartupFields fields{};
    if constexpr (launch_options::forward_startup) {
        given = given_startup();
        PathBuffer own_path{};
        query_module_path(own_path);
        fields = forwarded_startup(given, own_path.data());
    }
    if constexpr (!launch_options::app_id.empty()) {
        fields = with_app_id(fields, launch_options::app_id, given.flags);
    }
    hand_on(fields, startup);
}

// The launcher stays until the child has ended; the child, in the same console, gets the event.
BOOL WINAPI stay_for_the_child(DWORD) {
    return TRUE;
}

HANDLE inheritable_std_handle(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

// The console twin's child shares its console and its standard handles, redirected or not; a
// hot key cannot be carried where standard input's handle is.
void share_console(STARTUPINFOW& startup) {
    SetConsoleCtrlHandler(stay_for_the_child, TRUE);
    startup.dwFlags = (startup.dwFlags & ~STARTF_USEHOTKEY) | STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable_std_handle(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable_std_handle(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable_std_handle(STD_ERROR_HANDLE);
}

void release_environment([[maybe_unused]] wchar_t* environment) {
    if constexpr (launch_options::clean_java_environment) {
        std::free(environment);
    }
}

// Points `runtime_path` and `command_line` at `command`, written from the plan, when the image's
// options change them; 0, or the Windows code reported instead of a start.
template <typename Command>
DWORD use_own_command(const LaunchPlan& plan, Command& command, const wchar_t*& runtime_path,
                      wchar_t*& command_line) {
    if constexpr (std::is_same_v<Command, OwnCommand>) {
        std::wstring_view arguments;
        if constexpr (launch_options::forward_arguments) {
            arguments = arguments_after_program_name(GetCommandLineW());
        }
        // Never too long: the runtime path has room for the longest directory and either runtime.
        write_joined({plan.launcher_directory.data(), L"\\", runtime_of_image},
                     command.runtime_path.data(), command.runtime_path.size());
        runtime_path = command.runtime_path.data();
        command_line = command.line.data();
        const bool fits = write_joined({runtime_of_image, launch_options::java_options,
                                        jar_arguments, arguments.empty() ? L"" : L" ", arguments},
                                       command.line.data(), command.line.size());
        return fits ? 0 : command_line_too_long_error;
    }
    return 0;
}

// The launcher's environment without the runtime's option variables, for the child; null when
// it cannot be had. The caller frees it.
wchar_t* cleaned_environment() {
    wchar_t* const inherited = GetEnvironmentStringsW();
    if (inherited == nullptr) {
        return nullptr;
    }
    auto* const cleaned =
        static_cast<wchar_t*>(std::malloc(environment_block_size(inherited) * sizeof(wchar_t)));
    if (cleaned != nullptr) {
        write_environment_without_java_options(inherited, cleaned);
    }
    FreeEnvironmentStringsW(inherited);
    return cleaned;
}

// A refused plan and a refused start alike: reported, shown when the vendor asked for a box.
int exit_status_after_failure(DWORD error) {
    report_start_failure(error);
    if constexpr (!launch_options::failure_message.empty()) {
        show_failure_message(error);
    }
    return exits_as_the_child ? static_cast<int>(error) : 0;
}

int exit_status_of(HANDLE child_process) {
    DWORD code = 0;
    if constexpr (exits_as_the_child) {
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
    // The default image's bytes are fixed, so only an image with options refuses these.
    if constexpr (any_launch_option) {
        if (plan.refusal == 0) {
            plan.refusal = rootless_refusal(plan.launcher_directory.data());
        }
    }
    // Never handed to the platform: an empty application name is no promise that nothing starts.
    if (plan.refusal != 0) {
        return exit_status_after_failure(plan.refusal);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if constexpr (launch_options::forward_startup || !launch_options::app_id.empty()) {
        apply_launch_options(startup);
    }
    if constexpr (console_twin) {
        share_console(startup);
    }
    ChildCommand own_command;
    const wchar_t* runtime_path = plan.runtime_path.data();
    wchar_t* command_line = plan.command_line.data();
    const DWORD refusal = use_own_command(plan, own_command, runtime_path, command_line);
    if (refusal != 0) {
        return exit_status_after_failure(refusal);
    }
    wchar_t* environment = nullptr;
    if constexpr (launch_options::clean_java_environment) {
        environment = cleaned_environment();
        if (environment == nullptr) {
            return exit_status_after_failure(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    PROCESS_INFORMATION child{};

    if (!CreateProcessW(/*application_name=*/runtime_path,
                        /*command_line=*/command_line,
                        /*process_attributes=*/nullptr,
                        /*thread_attributes=*/nullptr,
                        /*inherit_handles=*/console_twin,
                        /*creation_flags=*/environment ? CREATE_UNICODE_ENVIRONMENT : 0,
                        /*environment=*/environment,
                        /*current_directory=*/plan.working_directory.data(),
                        /*startup_info=*/&startup,
                        /*process_information=*/&child)) {
        // Read before anything else can change it.
        const DWORD error = GetLastError();
        release_environment(environment);
        return exit_status_after_failure(error);
    }
    release_environment(environment);
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
