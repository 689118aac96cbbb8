#include "fake_module_path.h"

#include "launch_plan.h"

#include <algorithm>

namespace kestrovan::fake_module {

namespace {

std::optional<std::wstring> reported_path;
bool buffer_was_zeroed = false;

}  // namespace

void set_module_path(std::optional<std::wstring> path) {
    reported_path = std::move(path);
}

bool last_query_buffer_was_zeroed() {
    return buffer_was_zeroed;
}

}  // namespace kestrovan::fake_module

namespace kestrovan {

// A path that does not fit with its terminator counts as the buffer's capacity, as the
// platform counts it, and is left unterminated, as Windows XP leaves it.
std::size_t query_module_path(PathBuffer& buffer) {
    using fake_module::reported_path;
    fake_module::buffer_was_zeroed =
        std::all_of(buffer.begin(), buffer.end(), [](wchar_t unit) { return unit == L'\0'; });
    if (!reported_path) {
        return 0;
    }
    const std::size_t length = std::min(reported_path->size(), buffer.size());
    std::copy_n(reported_path->begin(), length, buffer.begin());
    if (length == buffer.size()) {
        return buffer.size();
    }
    buffer[length] = L'\0';
    return length;
}

}  // namespace kestrovan
