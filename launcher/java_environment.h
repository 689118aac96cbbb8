#pragma once

#include <cstddef>
#include <string_view>

namespace kestrovan {

/// Whether the environment block's `entry` (`NAME=value`) sets _JAVA_OPTIONS, JAVA_TOOL_OPTIONS
/// or JDK_JAVA_OPTIONS, whose names Windows compares without regard to case.
bool sets_java_options(std::wstring_view entry);

/// The units of the environment `block` (zero-terminated entries, then one more terminator),
/// every terminator included.
std::size_t environment_block_size(const wchar_t* block);

/// Writes into `cleaned`, which holds `environment_block_size(block)` units, the environment
/// `block` without the entries that set the runtime's options, every other entry as it is.
void write_environment_without_java_options(const wchar_t* block, wchar_t* cleaned);

}  // namespace kestrovan
