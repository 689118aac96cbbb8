#include "launch_plan.h"

#include <algorithm>

namespace kestrovan {

namespace {

constexpr std::wstring_view working_directory_suffix = L"\\application\\bin";
constexpr std::wstring_view runtime_suffix = L"\\application\\default-jre\\bin\\javaw.exe";

PathBuffer command_line_buffer() {
    static_assert(child_command_line.size() < path_capacity);
    PathBuffer buffer{};
    std::copy(child_command_line.begin(), child_command_line.end(), buffer.begin());
    return buffer;
}

}  // namespace

std::wstring cut_launcher_directory(const PathBuffer& buffer) {
    const auto terminator = std::find(buffer.begin(), buffer.end(), L'\0');
    const std::wstring_view path(buffer.data(), static_cast<std::size_t>(terminator - buffer.begin()));
    const auto last_backslash = path.find_last_of(L'\\');
    return std::wstring(path.substr(0, last_backslash));
}

std::wstring executable_directory() {
    // Zeroed first: a failed query then reads as an empty path instead of stale memory.
    PathBuffer module_path{};
    query_module_path(module_path);
    return cut_launcher_directory(module_path);
}

LaunchPlan make_launch_plan() {
    std::wstring directory = executable_directory();
    std::wstring working_directory = directory + std::wstring(working_directory_suffix);
    std::wstring runtime_path = directory + std::wstring(runtime_suffix);
    return LaunchPlan{std::move(directory), std::move(working_directory), std::move(runtime_path),
                      command_line_buffer()};
}

}  // namespace kestrovan
