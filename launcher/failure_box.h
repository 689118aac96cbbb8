#pragma once

#include "start_failure.h"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>

namespace kestrovan {

/// What stands between the vendor's text and the report in a message box: a blank line.
inline constexpr std::wstring_view failure_box_separator = L"\n\n";

/// Room for a message box's text about a failed start: a vendor's text of `message_length`
/// units, the separator, the report of any code and a terminator.
template <std::size_t message_length>
using FailureBoxText = std::array<wchar_t, message_length + failure_box_separator.size() +
                                               std::tuple_size_v<StartFailureBuffer> + 1>;

/// Writes into `text`, zero-terminated, the vendor's `message`, the separator and the report of
/// a failed start with platform error `code`; `text` has the room of a
/// `FailureBoxText<message.size()>`.
void write_failure_box_text(std::wstring_view message, unsigned long code, wchar_t* text);

}  // namespace kestrovan
