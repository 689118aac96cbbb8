#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kestrovan {

/// Capacity in UTF-16 units, terminator included, of the module-path and command-line buffers.
inline constexpr std::size_t path_capacity = 260;

/// A fixed 260-unit wide buffer as the platform's path and command-line calls take it.
using PathBuffer = std::array<wchar_t, path_capacity>;

/// Room for a zero-terminated wide text of at most `longest` units, held in place: the plan's
/// strings have a hard upper bound, so building them never allocates and cannot fail.
template <std::size_t longest>
using BoundedText = std::array<wchar_t, longest + 1>;

/// The child's command line; relative so that an installation can be moved or copied as a whole.
inline constexpr std::wstring_view child_command_line =
    L"application\\default-jre\\bin\\javaw.exe -jar launcher.jar";

/// The runtime's path relative to the launcher directory: the command line's first token, which
/// names the program to the child as well.
inline constexpr std::wstring_view runtime_relative_path =
    child_command_line.substr(0, child_command_line.find(L' '));

/// What the working directory adds to the launcher directory.
inline constexpr std::wstring_view working_directory_suffix = L"\\application\\bin";

/// The longest launcher directory: a module path that fills its whole buffer with neither a
/// terminator nor a backslash, kept whole.
inline constexpr std::size_t longest_launcher_directory = path_capacity;

using LauncherDirectory = BoundedText<longest_launcher_directory>;
using WorkingDirectory = BoundedText<longest_launcher_directory + working_directory_suffix.size()>;
using RuntimePath = BoundedText<longest_launcher_directory + 1 + runtime_relative_path.size()>;

/// Everything the entry function needs to start the bundled runtime.
struct LaunchPlan {
    /// The directory holding the running executable, without a trailing backslash.
    LauncherDirectory launcher_directory;
    /// The child's working directory: the launcher directory followed by "\application\bin".
    WorkingDirectory working_directory;
    /// The full path of the runtime to start, so that the platform never searches for it; empty
    /// when the platform reported no module path, so that the start fails instead of reaching for
    /// a runtime at the root of the current drive.
    RuntimePath runtime_path;
    /// The writable command-line buffer: `child_command_line`, then zeros to the end.
    PathBuffer command_line;
};

/// Fills `buffer` with the running executable's full path as the platform reports it, possibly
/// cut short and possibly without a terminator; on failure it may leave the buffer untouched.
/// Defined beside the entry function in run_launcher_win32.cpp, and by a fake for the unit
/// tests in tests/launcher/unit/fake_module_path.cpp.
void query_module_path(PathBuffer& buffer);

/// The launcher directory for a module path held in `buffer`, as a view into it: the text up to
/// the first terminator (never past the buffer's end), cut before its last backslash, or whole
/// without one.
std::wstring_view cut_launcher_directory(const PathBuffer& buffer);

/// The launcher directory of the running executable; empty when the platform reports no path.
LauncherDirectory executable_directory();

/// The plan for the running executable, derived from its directory alone.
LaunchPlan make_launch_plan();

}  // namespace kestrovan
