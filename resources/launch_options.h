#pragma once

#include <string_view>

namespace kestrovan::launch_options {

/// The child gets the start information the launcher was given (show state, position, size,
/// the shortcut's path as title, hot key), never standard handles nor reserved fields.
inline constexpr bool forward_startup = false;
/// The taskbar identity handed to the child as its title with STARTF_TITLEISAPPID; empty: off.
inline constexpr std::wstring_view app_id = L"";
/// Shown in a message box, with the Windows code, when the start fails; empty: off.
inline constexpr std::wstring_view failure_message = L"";
/// The message box's caption (the brand's ProductName, or the file name without ".exe").
inline constexpr std::wstring_view failure_caption = L"";
/// The launcher exits with the child's exit code, and with the Windows code on a failed start.
inline constexpr bool exit_with_child_code = false;
/// What follows the launcher's program name on its own command line goes on, as given, after
/// "-jar launcher.jar".
inline constexpr bool forward_arguments = false;
/// The runtime's options, each after one blank and quoted where it needs it, placed between the
/// runtime and "-jar"; empty: none.
inline constexpr std::wstring_view java_options = L"";
/// The child's environment is the launcher's without _JAVA_OPTIONS, JAVA_TOOL_OPTIONS and
/// JDK_JAVA_OPTIONS.
inline constexpr bool clean_java_environment = false;

}  // namespace kestrovan::launch_options
