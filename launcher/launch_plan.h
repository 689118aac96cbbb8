#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

namespace kestrovan {

/// Capacity in UTF-16 units, terminator included, of the module-path and command-line buffers.
inline constexpr std::size_t path_capacity = 260;

/// A fixed 260-unit wide buffer as the platform's path and command-line calls take it.
using PathBuffer = std::array<wchar_t, path_capacity>;

/// An owned, zero-terminated wide string. Not std::wstring: any use of it links the library's
/// whole string support, which would add about 125 KB to a 155 KB image.
using WideText = std::unique_ptr<wchar_t[]>;

/// The child's command line; relative so that an installation can be moved or copied as a whole.
inline constexpr std::wstring_view child_command_line =
    L"application\\default-jre\\bin\\javaw.exe -jar launcher.jar";

/// The runtime's path relative to the launcher directory: the command line's first token, which
/// names the program to the child as well.
inline constexpr std::wstring_view runtime_relative_path =
    child_command_line.substr(0, child_command_line.find(L' '));

/// Everything the entry function needs to start the bundled runtime.
struct LaunchPlan {
    /// The directory holding the running executable, without a trailing backslash.
    WideText launcher_directory;
    /// The child's working directory: the launcher directory followed by "\application\bin".
    WideText working_directory;
    /// The full path of the runtime to start, so that the platform never searches for it.
    WideText runtime_path;
    /// The writable command-line buffer: `child_command_line`, then zeros to the end.
    PathBuffer command_line;
};

/// Fills `buffer` with the running executable's full path as the platform reports it, possibly
/// cut short and possibly without a terminator; on failure it may leave the buffer untouched.
/// Defined beside the entry function in run_launcher_win32.cpp, and by a fake for the unit
/// tests in tests/unit/fake_module_path.cpp.
void query_module_path(PathBuffer& buffer);

/// The launcher directory for a module path held in `buffer`, as a view into it: the text up to
/// the first terminator (never past the buffer's end), cut before its last backslash, or whole
/// without one.
std::wstring_view cut_launcher_directory(const PathBuffer& buffer);

/// The launcher directory of the running executable; empty when the platform reports no path.
WideText executable_directory();

/// The plan for the running executable, derived from its directory alone.
LaunchPlan make_launch_plan();

}  // namespace kestrovan
