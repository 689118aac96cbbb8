#include "launch_plan.h"

#include <algorithm>
#include <initializer_list>

namespace kestrovan {

namespace {

PathBuffer command_line_buffer() {
    static_assert(child_command_line.size() < path_capacity);
    PathBuffer buffer{};
    std::copy(child_command_line.begin(), child_command_line.end(), buffer.begin());
    return buffer;
}

// The parts one after the other, as much of them as fits before the terminator; the plan's
// capacities are chosen so that all of them always fit.
template <typename Text>
Text joined(std::initializer_list<std::wstring_view> parts) {
    // Value-initialised, so the unit after the parts is already the terminator.
    Text text{};
    std::size_t length = 0;
    for (const std::wstring_view part : parts) {
        const std::size_t copied = std::min(part.size(), text.size() - 1 - length);
        std::copy_n(part.begin(), copied, text.begin() + static_cast<std::ptrdiff_t>(length));
        length += copied;
    }
    return text;
}

std::wstring_view text_of(const LauncherDirectory& directory) {
    return std::wstring_view(directory.data());
}

RuntimePath runtime_path_in(std::wstring_view directory, unsigned long refusal) {
    if (refusal != 0) {
        return RuntimePath{};
    }
    return joined<RuntimePath>({directory, L"\\", runtime_relative_path});
}

bool is_ascii_letter(wchar_t unit) {
    const int lower = unit | 0x20;
    return 'a' <= lower && lower <= 'z';
}

// "C:" alone is a drive's root once the suffixes are added; "C:name" would be relative to that
// drive's current directory.
bool is_drive_absolute(std::wstring_view directory) {
    return directory.size() >= 2 && is_ascii_letter(directory[0]) && directory[1] == L':' &&
           (directory.size() == 2 || directory[2] == L'\\');
}

bool is_unc_or_device(std::wstring_view directory) {
    return directory.size() >= 2 && directory[0] == L'\\' && directory[1] == L'\\';
}

}  // namespace

std::wstring_view cut_launcher_directory(const PathBuffer& buffer) {
    const auto terminator = std::find(buffer.begin(), buffer.end(), L'\0');
    const std::wstring_view path(buffer.data(), static_cast<std::size_t>(terminator - buffer.begin()));
    return path.substr(0, path.find_last_of(L'\\'));
}

unsigned long refusal_of(std::wstring_view directory, std::size_t reported_length) {
    if (reported_length >= path_capacity) {
        return shortened_module_path_error;
    }
    if (!is_drive_absolute(directory) && !is_unc_or_device(directory)) {
        return relative_launcher_directory_error;
    }
    return 0;
}

ExecutableDirectory executable_directory() {
    // Zeroed first: a failed query then reads as an empty path instead of stale memory.
    PathBuffer module_path{};
    const std::size_t reported_length = query_module_path(module_path);
    const std::wstring_view directory = cut_launcher_directory(module_path);
    return ExecutableDirectory{joined<LauncherDirectory>({directory}),
                               refusal_of(directory, reported_length)};
}

LaunchPlan make_launch_plan() {
    const ExecutableDirectory directory = executable_directory();
    const std::wstring_view directory_text = text_of(directory.text);
    return LaunchPlan{directory.text,
                      joined<WorkingDirectory>({directory_text, working_directory_suffix}),
                      runtime_path_in(directory_text, directory.refusal), command_line_buffer(),
                      directory.refusal};
}

}  // namespace kestrovan
