// A stand-in for the runtime's javaw.exe. It appends what it received to the file named by
// STAND_IN_RECORD (UTF-8 lines), sleeps STAND_IN_SLEEP_MS milliseconds, records that it finished
// and exits with STAND_IN_EXIT_CODE.
#include <windows.h>

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

}  // namespace

int main() {
    record(L"command_line=" + std::wstring(GetCommandLineW()));
    record(L"working_directory=" + current_directory());
    Sleep(environment_number(L"STAND_IN_SLEEP_MS"));
    record(L"finished");
    return static_cast<int>(environment_number(L"STAND_IN_EXIT_CODE"));
}
