#pragma once

#include "launch_plan.h"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace kestrovan {

/// Windows' limit on a command line, in UTF-16 units, terminator included.
inline constexpr std::size_t command_line_limit = 32767;

/// Windows' ERROR_FILENAME_EXCED_RANGE, what Windows itself reports for a command line over its
/// limit: reported, and nothing started, when the child's would exceed it.
inline constexpr unsigned long command_line_too_long_error = 206;

/// What follows the runtime on every child's command line, after the runtime's options.
inline constexpr std::wstring_view jar_arguments =
    child_command_line.substr(runtime_relative_path.size());

/// The runtime's console launcher, relative to the launcher directory: what a console twin
/// starts in place of the windowless one.
inline constexpr std::wstring_view console_runtime_relative_path =
    L"application\\default-jre\\bin\\java.exe";

/// What follows the program name on `command_line`, as it is. The name is read by the C
/// runtime's rule for its first argument: quotes start and end quoted parts, with no escapes,
/// and a blank or tab outside quotes ends it; the blanks and tabs after it are skipped.
std::wstring_view arguments_after_program_name(std::wstring_view command_line);

/// Writes the `parts`, one after the other, and a terminator into `buffer` of `capacity` units
/// and returns true; returns false, and writes nothing, when they do not fit.
bool write_joined(std::initializer_list<std::wstring_view> parts, wchar_t* buffer,
                  std::size_t capacity);

}  // namespace kestrovan
