// A stand-in for the runtime's javaw.exe. It appends what it received to the file named by
// STAND_IN_RECORD (UTF-8 lines), sleeps STAND_IN_SLEEP_MS milliseconds, records that it finished
// and exits with STAND_IN_EXIT_CODE. When STAND_IN_WINDOW_TITLE is set, it shows a top-level
// window with that title while it sleeps, as a runtime shows the application's, and records
// whether it could. When STAND_IN_INHERITED_HANDLE names a handle value that a parent held open
// on the file STAND_IN_INHERITED_FILE, it also records whether that value is a handle on that
// same file here, that is, whether the handle reached this process. It records the start
// information it was given too: flags, show state, position, size, title and hot key; its
// arguments as the platform's parser reads them (argument=, one line each); and the variables
// that STAND_IN_VARIABLES names, comma-separated (variable.NAME=value, or variable.NAME alone
// when unset). It writes STAND_IN_STDOUT to its standard output. Built as javaw.exe and, for the
// console subsystem, as java.exe.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>

namespace {

std::wstring environment_value(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length < 1024 ? std::wstring(value, length) : std::wstring();
}

DWORD environment_number(const wchar_t* name) {
    const std::wstring value = environment_value(name);
    return value.empty() ? 0 : static_cast<DWORD>(std::stoul(value));
}

std::wstring current_directory() {
    wchar_t directory[MAX_PATH * 4] = {};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH * 4, directory);
    return std::wstring(directory, length);
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int wide_length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide_length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other) {
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

// A value that happens to name another object of this process must not count, so the check
// compares file identities instead of only asking whether the value is a handle, and reads the
// handle before this process opens the file itself.
bool handle_opens_file(HANDLE handle, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION held{};
    if (!GetFileInformationByHandle(handle, &held)) {
        return false;
    }
    const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION opened{};
    const bool same = GetFileInformationByHandle(file, &opened) && same_file(held, opened);
    CloseHandle(file);
    return same;
}

void record(const std::wstring& line) {
    const std::wstring path = environment_value(L"STAND_IN_RECORD");
    if (path.empty()) {
        return;
    }
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string bytes = utf8(line + L"\n");
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

void record_inherited_handle() {
    const std::wstring value = environment_value(L"STAND_IN_INHERITED_HANDLE");
    if (value.empty()) {
        return;
    }
    const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoull(value)));
    const bool open = handle_opens_file(handle, environment_value(L"STAND_IN_INHERITED_FILE"));
    record(std::wstring(L"inherited_handle=") + (open ? L"open" : L"closed"));
}

std::wstring hexadecimal(DWORD value) {
    wchar_t digits[16] = {};
    swprintf(digits, 16, L"0x%lx", value);
    return digits;
}

void record_startup() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    record(L"startup_flags=" + hexadecimal(startup.dwFlags));
    record(L"show_window=" + std::to_wstring(startup.wShowWindow));
    record(L"position=" + std::to_wstring(startup.dwX) + L"," + std::to_wstring(startup.dwY));
    record(L"size=" + std::to_wstring(startup.dwXSize) + L"x" + std::to_wstring(startup.dwYSize));
    record(L"title=" + std::wstring(startup.lpTitle ? startup.lpTitle : L""));
    if (startup.dwFlags & STARTF_USEHOTKEY) {
        const auto hot_key = reinterpret_cast<std::uintptr_t>(startup.hStdInput);
        record(L"hot_key=" + hexadecimal(static_cast<DWORD>(hot_key)));
    }
}

void record_arguments() {
    int count = 0;
    wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int index = 1; arguments != nullptr && index < count; ++index) {
        record(std::wstring(L"argument=") + arguments[index]);
    }
    LocalFree(arguments);
}

void record_variables() {
    const std::wstring names = environment_value(L"STAND_IN_VARIABLES");
    for (std::size_t start = 0; start < names.size();) {
        const std::size_t end = std::min(names.find(L',', start), names.size());
        const std::wstring name = names.substr(start, end - start);
        wchar_t value[1024] = {};
        const bool set = GetEnvironmentVariableW(name.c_str(), value, 1024) != 0 ||
                         GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        record(L"variable." + name + (set ? L"=" + std::wstring(value) : L""));
        start = end + 1;
    }
}

void write_stdout() {
    const std::string text = utf8(environment_value(L"STAND_IN_STDOUT"));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
              nullptr);
}

// Sleeps with a window on the screen, answering its messages so that it stays drawn.
void show_window_while_sleeping(const std::wstring& title, DWORD milliseconds) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = L"javaw_stand_in";
    RegisterClassW(&window_class);
    // Away from the top left corner, where a console window of the launcher would be.
    const HWND window = CreateWindowExW(0, window_class.lpszClassName, title.c_str(),
                                        WS_OVERLAPPEDWINDOW | WS_VISIBLE, 500, 400, 480, 240,
                                        nullptr, nullptr, window_class.hInstance, nullptr);
    record(window ? L"window=shown" : L"window=failed");
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        const auto remaining = static_cast<DWORD>(deadline - now);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, remaining, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    if (window) {
        DestroyWindow(window);
    }
}

}  // namespace

int main() {
    record(L"command_line=" + std::wstring(GetCommandLineW()));
    record(L"working_directory=" + current_directory());
    record_inherited_handle();
    record_startup();
    record_arguments();
    record_variables();
    write_stdout();
    const std::wstring window_title = environment_value(L"STAND_IN_WINDOW_TITLE");
    if (window_title.empty()) {
        Sleep(environment_number(L"STAND_IN_SLEEP_MS"));
    } else {
        show_window_while_sleeping(window_title, environment_number(L"STAND_IN_SLEEP_MS"));
    }
    record(L"finished");
    return static_cast<int>(environment_number(L"STAND_IN_EXIT_CODE"));
}
