#include "launch_plan.h"

#include <algorithm>
#include <initializer_list>

namespace kestrovan {

namespace {

constexpr std::wstring_view working_directory_suffix = L"\\application\\bin";

PathBuffer command_line_buffer() {
    static_assert(child_command_line.size() < path_capacity);
    PathBuffer buffer{};
    std::copy(child_command_line.begin(), child_command_line.end(), buffer.begin());
    return buffer;
}

WideText joined(std::initializer_list<std::wstring_view> parts) {
    std::size_t length = 0;
    for (const std::wstring_view part : parts) {
        length += part.size();
    }
    // Value-initialised, so the unit after the parts is already the terminator.
    WideText text = std::make_unique<wchar_t[]>(length + 1);
    wchar_t* end = text.get();
    for (const std::wstring_view part : parts) {
        end = std::copy(part.begin(), part.end(), end);
    }
    return text;
}

}  // namespace

std::wstring_view cut_launcher_directory(const PathBuffer& buffer) {
    const auto terminator = std::find(buffer.begin(), buffer.end(), L'\0');
    const std::wstring_view path(buffer.data(), static_cast<std::size_t>(terminator - buffer.begin()));
    return path.substr(0, path.find_last_of(L'\\'));
}

WideText executable_directory() {
    // Zeroed first: a failed query then reads as an empty path instead of stale memory.
    PathBuffer module_path{};
    query_module_path(module_path);
    return joined({cut_launcher_directory(module_path)});
}

LaunchPlan make_launch_plan() {
    WideText directory = executable_directory();
    const std::wstring_view directory_text(directory.get());
    WideText working_directory = joined({directory_text, working_directory_suffix});
    WideText runtime_path = joined({directory_text, L"\\", runtime_relative_path});
    return LaunchPlan{std::move(directory), std::move(working_directory), std::move(runtime_path),
                      command_line_buffer()};
}

}  // namespace kestrovan
