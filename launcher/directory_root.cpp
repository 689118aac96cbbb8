#include "directory_root.h"

#include "launch_plan.h"

#include <algorithm>
#include <cstddef>

namespace kestrovan {

namespace {

// Unit by unit: substr's bounds check would bring the runtime's exceptions into the image, and
// a comparison of ranges its memcmp.
bool starts_with(std::wstring_view text, std::wstring_view start) {
    if (text.size() < start.size()) {
        return false;
    }
    for (std::size_t index = 0; index < start.size(); ++index) {
        if (text[index] != start[index]) {
            return false;
        }
    }
    return true;
}

// The path's next component, taken off its front with the backslash after it.
std::wstring_view next_component(std::wstring_view& path) {
    const std::size_t end = std::min(path.find(L'\\'), path.size());
    const std::wstring_view component(path.data(), end);
    path.remove_prefix(std::min(end + 1, path.size()));
    return component;
}

bool names_a_drive_or_volume(std::wstring_view component) {
    const bool drive = component.size() == 2 && (component[0] | 0x20) >= L'a' &&
                       (component[0] | 0x20) <= L'z' && component[1] == L':';
    return drive || (starts_with(component, L"Volume{") && component.back() == L'}');
}

bool names_a_server_and_share(std::wstring_view path) {
    return !next_component(path).empty() && !next_component(path).empty();
}

}  // namespace

unsigned long rootless_refusal(std::wstring_view directory) {
    if (!starts_with(directory, L"\\\\")) {
        return 0;
    }
    std::wstring_view path = directory;
    path.remove_prefix(2);
    if (starts_with(path, L"?\\") || starts_with(path, L".\\")) {
        path.remove_prefix(2);
        const std::wstring_view first = next_component(path);
        const bool unc = first.size() == 3 && starts_with(first, L"UNC");
        if (names_a_drive_or_volume(first) || (unc && names_a_server_and_share(path))) {
            return 0;
        }
        return relative_launcher_directory_error;
    }
    return names_a_server_and_share(path) ? 0 : relative_launcher_directory_error;
}

}  // namespace kestrovan
