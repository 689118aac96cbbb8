// Usage: handle_starter FILE PROGRAM. Opens FILE through an inheritable handle, names the
// handle's value and FILE in the environment (STAND_IN_INHERITED_HANDLE, STAND_IN_INHERITED_FILE)
// and starts PROGRAM with handle inheritance, so that PROGRAM holds the handle at that value.
// Waits for PROGRAM and exits with its exit status, or with one of its own below.
#include <windows.h>

#include <cstdint>
#include <string>

namespace {

// Far from the statuses that the programs it starts end with.
constexpr int wrong_usage = 120;
constexpr int file_not_opened = 121;
constexpr DWORD program_not_started = 122;

HANDLE open_inheritable(const wchar_t* path) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inheritable, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD run_inheriting(wchar_t* program) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(/*application_name=*/program, /*command_line=*/nullptr,
                        /*process_attributes=*/nullptr, /*thread_attributes=*/nullptr,
                        /*inherit_handles=*/TRUE, /*creation_flags=*/0, /*environment=*/nullptr,
                        /*current_directory=*/nullptr, &startup, &child)) {
        return program_not_started;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return wrong_usage;
    }
    const HANDLE file = open_inheritable(argv[1]);
    if (file == INVALID_HANDLE_VALUE) {
        return file_not_opened;
    }
    const std::wstring value = std::to_wstring(reinterpret_cast<std::uintptr_t>(file));
    SetEnvironmentVariableW(L"STAND_IN_INHERITED_HANDLE", value.c_str());
    SetEnvironmentVariableW(L"STAND_IN_INHERITED_FILE", argv[1]);
    return static_cast<int>(run_inheriting(argv[2]));
}
