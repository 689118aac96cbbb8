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

/// Windows' ERROR_FILENAME_EXCED_RANGE, reported when the module path filled its whole buffer: the
/// platform may have shortened it, and a directory cut from the shortened text may lie outside
/// the installation.
inline constexpr unsigned long shortened_module_path_error = 206;

/// Windows' ERROR_BAD_PATHNAME, reported when the launcher directory is neither drive-absolute
/// nor a UNC or device path: the platform would resolve a runtime planned from it against the
/// current directory.
inline constexpr unsigned long relative_launcher_directory_error = 161;

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
    /// when `refusal` says why no runtime may be planned.
    RuntimePath runtime_path;
    /// The writable command-line buffer: `child_command_line`, then zeros to the end.
    PathBuffer command_line;
    /// The Windows error code reported instead of a start when the launcher directory is no
    /// complete, absolute path; 0 when the runtime is planned.
    unsigned long refusal;
};

/// Fills `buffer` with the running executable's full path as the platform reports it, possibly
/// cut short and possibly without a terminator, and returns the platform's count: the path's
/// length, `path_capacity` when the path did not fit, 0 when the query failed (the buffer may
/// then be untouched). Defined beside the entry function in run_launcher_win32.cpp, and by a
/// fake for the unit tests in tests/launcher/unit/fake_module_path.cpp.
std::size_t query_module_path(PathBuffer& buffer);

/// The launcher directory for a module path held in `buffer`, as a view into it: the text up to
/// the first terminator (never past the buffer's end), cut before its last backslash, or whole
/// without one.
std::wstring_view cut_launcher_directory(const PathBuffer& buffer);

/// Why no runtime may be planned from `directory`, cut from a module path whose query returned
/// `reported_length`: `shortened_module_path_error`, `relative_launcher_directory_error`, or 0
/// when the directory is complete and drive-absolute (`C:\...` or the bare `C:`) or a UNC or
/// device path (beginning with two backslashes).
unsigned long refusal_of(std::wstring_view directory, std::size_t reported_length);

/// The launcher directory of the running executable, and why no runtime may be planned from it.
struct ExecutableDirectory {
    /// The directory as cut from the module path; empty when the platform reports no path.
    LauncherDirectory text;
    /// `refusal_of` the directory.
    unsigned long refusal;
};

/// The running executable's directory, from one query of its module path.
ExecutableDirectory executable_directory();

/// The plan for the running executable, derived from its directory alone.
LaunchPlan make_launch_plan();

}  // namespace kestrovan
