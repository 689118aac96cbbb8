#pragma once

#include <cstdint>
#include <string_view>

namespace kestrovan {

/// The values of the platform's STARTF_ flags that a launcher hands on; run_launcher_win32.cpp
/// checks them against the platform's own.
namespace start_flags {
/// `show_window` holds the show state of the child's first ShowWindow.
inline constexpr std::uint32_t use_show_window = 0x1;
/// `width` and `height` hold the first window's size.
inline constexpr std::uint32_t use_size = 0x2;
/// `x` and `y` hold the first window's position.
inline constexpr std::uint32_t use_position = 0x4;
/// The standard handles are given; standard input's is where a hot key would be.
inline constexpr std::uint32_t use_std_handles = 0x100;
/// `hot_key` holds a hot key, carried where standard input's handle would be.
inline constexpr std::uint32_t use_hot_key = 0x200;
/// `title` is the path of the shortcut that started the program.
inline constexpr std::uint32_t title_is_link_name = 0x800;
/// `title` is the program's AppUserModelID, its identity on the taskbar.
inline constexpr std::uint32_t title_is_app_id = 0x1000;
/// The program's windows cannot be pinned to the taskbar; it goes with `title_is_app_id`.
inline constexpr std::uint32_t prevent_pinning = 0x2000;
}  // namespace start_flags

/// The part of the platform's start information (STARTUPINFOW) that a launcher may hand to its
/// child: never standard handles, never reserved fields.
struct StartupFields {
    /// Which of the other fields hold, as `start_flags`.
    std::uint32_t flags;
    /// The show state (SW_) of the first ShowWindow.
    std::uint16_t show_window;
    /// The first window's left edge.
    std::uint32_t x;
    /// The first window's top edge.
    std::uint32_t y;
    /// The first window's width.
    std::uint32_t width;
    /// The first window's height.
    std::uint32_t height;
    /// The title its flag names, zero-terminated; null without one.
    const wchar_t* title;
    /// The hot key's value.
    std::uintptr_t hot_key;
};

/// The start information `given` to the launcher as its child gets it: the fields that the
/// forwarded flags name, and nothing else. A title without a flag is the platform's console
/// title, not the shortcut's, so it is dropped; so is a title flag without a title, and a title
/// that is `own_path`, the launcher's own path, is none: the platform's default for a program
/// started without one. Of the two title flags, which the platform does not allow together, the
/// application ID's wins; pinning is prevented only with an application ID; and a hot key goes
/// on only when standard input's handle is not what its field holds.
StartupFields forwarded_startup(const StartupFields& given, std::wstring_view own_path);

/// `fields` with the zero-terminated `app_id` as the title, with the flag that names it so, in
/// the place of any other title; pinning is prevented when `given_flags`, the flags the launcher
/// was given, say so.
StartupFields with_app_id(const StartupFields& fields, std::wstring_view app_id,
                          std::uint32_t given_flags);

}  // namespace kestrovan
