#include "child_startup.h"

namespace kestrovan {

namespace {

constexpr std::uint32_t title_flags = start_flags::title_is_link_name | start_flags::title_is_app_id;
constexpr std::uint32_t forwarded_flags = start_flags::use_show_window | start_flags::use_size |
                                          start_flags::use_position | start_flags::use_hot_key |
                                          title_flags | start_flags::prevent_pinning;

// The flags of `given` that the platform allows together and that name what they say they do.
std::uint32_t consistent_flags(const StartupFields& given, std::wstring_view own_path) {
    std::uint32_t flags = given.flags & forwarded_flags;
    if ((given.flags & start_flags::use_std_handles) != 0) {
        flags &= ~start_flags::use_hot_key;
    }
    if (given.title == nullptr || *given.title == L'\0' || given.title == own_path) {
        flags &= ~title_flags;
    }
    if ((flags & start_flags::title_is_app_id) != 0) {
        flags &= ~start_flags::title_is_link_name;
    } else {
        flags &= ~start_flags::prevent_pinning;
    }
    return flags;
}

template <typename Value>
Value kept_if(std::uint32_t flags, std::uint32_t flag, Value value) {
    return (flags & flag) != 0 ? value : Value{};
}

}  // namespace

StartupFields forwarded_startup(const StartupFields& given, std::wstring_view own_path) {
    const std::uint32_t flags = consistent_flags(given, own_path);
    return StartupFields{flags,
                         kept_if(flags, start_flags::use_show_window, given.show_window),
                         kept_if(flags, start_flags::use_position, given.x),
                         kept_if(flags, start_flags::use_position, given.y),
                         kept_if(flags, start_flags::use_size, given.width),
                         kept_if(flags, start_flags::use_size, given.height),
                         kept_if(flags, title_flags, given.title),
                         kept_if(flags, start_flags::use_hot_key, given.hot_key)};
}

StartupFields with_app_id(const StartupFields& fields, std::wstring_view app_id,
                          std::uint32_t given_flags) {
    StartupFields child = fields;
    child.flags = (fields.flags & ~title_flags) | start_flags::title_is_app_id |
                  (given_flags & start_flags::prevent_pinning);
    child.title = app_id.data();
    return child;
}

}  // namespace kestrovan
