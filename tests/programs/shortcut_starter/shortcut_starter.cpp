// Usage: shortcut_starter SHOW_STATE SHORTCUT PROGRAM [COMMAND_LINE [FLAGS]]. Starts PROGRAM as
// the shell starts the target of a shortcut that says how to show its window and has a hot key:
// with the show state, a position, a size, the hot key below and the shortcut's path SHORTCUT
// as the title (STARTF_TITLEISLINKNAME), and with COMMAND_LINE, exactly, as its command line
// (none: the platform's default; `=`: the value of SHORTCUT_STARTER_COMMAND_LINE, which may be
// longer than this program's own command line can be). FLAGS, in hexadecimal, replaces those
// start flags, and an empty SHORTCUT gives no title. Waits for PROGRAM and exits with its exit status, or with 120
// for wrong usage and 122 when PROGRAM could not be started.
#include <windows.h>
#include <commctrl.h>

#include <string>

namespace {

constexpr int wrong_usage = 120;
constexpr DWORD program_not_started = 122;
// Ctrl+Alt+K, as the shell carries a shortcut's hot key: modifiers in the high byte.
constexpr UINT_PTR hot_key = ((HOTKEYF_CONTROL | HOTKEYF_ALT) << 8) | 'K';

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc > 6) {
        return wrong_usage;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = argc == 6 ? std::stoul(argv[5], nullptr, 16)
                                : STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE |
                                      STARTF_USEHOTKEY | STARTF_TITLEISLINKNAME;
    startup.wShowWindow = static_cast<WORD>(std::stoul(argv[1]));
    startup.dwX = 120;
    startup.dwY = 80;
    startup.dwXSize = 640;
    startup.dwYSize = 480;
    startup.lpTitle = *argv[2] != L'\0' ? argv[2] : nullptr;
    startup.hStdInput = reinterpret_cast<HANDLE>(hot_key);
    PROCESS_INFORMATION child{};
    std::wstring command_line = argc >= 5 ? argv[4] : L"";
    if (command_line == L"=") {
        command_line.resize(32767);
        command_line.resize(GetEnvironmentVariableW(L"SHORTCUT_STARTER_COMMAND_LINE", command_line.data(),
                                                    static_cast<DWORD>(command_line.size())));
    }
    if (!CreateProcessW(argv[3], argc >= 5 ? command_line.data() : nullptr, nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &child)) {
        return static_cast<int>(program_not_started);
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return static_cast<int>(status);
}
