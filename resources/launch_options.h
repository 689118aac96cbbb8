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

}  // namespace kestrovan::launch_options
