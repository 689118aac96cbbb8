#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <string_view>

namespace kestrovan {

/// The fixed start of the report of a failed start, ending with one blank.
inline constexpr std::string_view start_failure_prefix = "CreateProcess failed: ";

/// Room for the report of any code: the prefix and every digit of the largest code.
using StartFailureBuffer =
    std::array<char, start_failure_prefix.size() + std::numeric_limits<unsigned long>::digits10 + 1>;

/// Writes the report of a failed start with platform error `code` into `buffer` and returns it:
/// the prefix and the code in unsigned decimal, with no line break and no terminator.
std::string_view start_failure_text(unsigned long code, StartFailureBuffer& buffer);

}  // namespace kestrovan
