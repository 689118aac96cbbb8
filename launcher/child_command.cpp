#include "child_command.h"

#include <algorithm>

namespace kestrovan {

namespace {

bool is_blank(wchar_t unit) {
    return unit == L' ' || unit == L'\t';
}

}  // namespace

std::wstring_view arguments_after_program_name(std::wstring_view command_line) {
    std::size_t end = 0;
    bool quoted = false;
    for (; end < command_line.size() && (quoted || !is_blank(command_line[end])); ++end) {
        quoted = quoted != (command_line[end] == L'"');
    }
    while (end < command_line.size() && is_blank(command_line[end])) {
        ++end;
    }
    command_line.remove_prefix(end);
    return command_line;
}

bool write_joined(std::initializer_list<std::wstring_view> parts, wchar_t* buffer,
                  std::size_t capacity) {
    std::size_t length = 0;
    for (const std::wstring_view part : parts) {
        length += part.size();
    }
    if (length >= capacity) {
        return false;
    }
    for (const std::wstring_view part : parts) {
        buffer = std::copy(part.begin(), part.end(), buffer);
    }
    *buffer = L'\0';
    return true;
}

}  // namespace kestrovan
