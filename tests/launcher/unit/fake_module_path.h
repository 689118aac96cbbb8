#pragma once

#include <optional>
#include <string>

namespace kestrovan::fake_module {

/// Makes the next module-path queries report `path` (cut to the buffer, unterminated when it
/// fills it), or fail without touching the buffer when `path` is empty.
void set_module_path(std::optional<std::wstring> path);

/// Whether the buffer handed to the most recent query held only zeros.
bool last_query_buffer_was_zeroed();

}  // namespace kestrovan::fake_module
