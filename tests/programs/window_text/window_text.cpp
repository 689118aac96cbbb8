// Usage: window_text CAPTION. Writes the text of each child window of the top-level window
// titled CAPTION, one UTF-8 line each: what a message box shows, read back from the box itself.
// Exits with 1 when there is no such window, 120 for wrong usage.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int wrong_usage = 120;

BOOL CALLBACK write_text(HWND window, LPARAM) {
    wchar_t text[1024] = {};
    const int length = GetWindowTextW(window, text, 1024);
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), size, nullptr, nullptr);
    // A line break within a text is written as a backslash and an n, so that each text is one line.
    std::string line;
    for (const char byte : bytes) {
        line += byte == '\n' ? std::string("\\n") : std::string(1, byte);
    }
    std::fputs((line + "\n").c_str(), stdout);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return wrong_usage;
    }
    const HWND window = FindWindowW(nullptr, argv[1]);
    if (window == nullptr) {
        return 1;
    }
    EnumChildWindows(window, write_text, 0);
    return 0;
}
