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

RuntimePath runtime_path_in(std::wstring_view directory) {
    if (directory.empty()) {
        return RuntimePath{};
    }
    return joined<RuntimePath>({directory, L"\\", runtime_relative_path});
}

}  // namespace

std::wstring_view cut_launcher_directory(const PathBuffer& buffer) {
    const auto terminator = std::find(buffer.begin(), buffer.end(), L'\0');
    const std::wstring_view path(buffer.data(), static_cast<std::size_t>(terminator - buffer.begin()));
    return path.substr(0, path.find_last_of(L'\\'));
}

LauncherDirectory executable_directory() {
    // Zeroed first: a failed query then reads as an empty path instead of stale memory.
    PathBuffer module_path{};
    query_module_path(module_path);
    return joined<LauncherDirectory>({cut_launcher_directory(module_path)});
}

LaunchPlan make_launch_plan() {
    const LauncherDirectory directory = executable_directory();
    const std::wstring_view directory_text = text_of(directory);
    return LaunchPlan{directory, joined<WorkingDirectory>({directory_text, working_directory_suffix}),
                      runtime_path_in(directory_text), command_line_buffer()};
}

}  // namespace kestrovan
