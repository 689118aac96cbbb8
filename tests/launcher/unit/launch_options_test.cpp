#include "child_startup.h"
#include "failure_box.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>

namespace kestrovan {
namespace {

constexpr std::uint32_t use_std_handles = start_flags::use_std_handles;
constexpr std::uint32_t both_titles = start_flags::title_is_link_name | start_flags::title_is_app_id;
constexpr std::uint32_t shortcut_flags = start_flags::use_show_window | start_flags::use_position |
                                         start_flags::use_size | start_flags::use_hot_key |
                                         start_flags::title_is_link_name;
const wchar_t* const shortcut = L"C:\\Users\\u\\Desktop\\App.lnk";
const wchar_t* const own_path = L"C:\\Acme\\Acme Viewer.exe";

auto fields_of(const StartupFields& startup) {
    return std::make_tuple(startup.flags, startup.show_window, startup.x, startup.y, startup.width,
                           startup.height, startup.title ? std::wstring(startup.title) : L"(none)",
                           startup.hot_key);
}

struct StartupCase {
    const char* behaviour;
    StartupFields given;
    StartupFields forwarded;
};

// Named for a failing row, instead of the raw bytes of the struct.
std::ostream& operator<<(std::ostream& stream, const StartupCase& startup_case) {
    return stream << startup_case.behaviour;
}

const StartupCase startup_cases[] = {
    {"AShortcutsFieldsAllGoOn", {shortcut_flags, 3, 120, 80, 640, 480, shortcut, 0x641},
     {shortcut_flags, 3, 120, 80, 640, 480, shortcut, 0x641}},
    {"StandardHandlesAndAConsoleTitleStay",
     {use_std_handles | start_flags::use_show_window, 7, 1, 2, 3, 4, L"console", 0x44},
     {start_flags::use_show_window, 7, 0, 0, 0, 0, nullptr, 0}},
    {"NothingGoesOnWithoutFlags", {0, 5, 1, 2, 3, 4, L"C:\\own\\path.exe", 0x44},
     {0, 0, 0, 0, 0, 0, nullptr, 0}},
    {"OfBothTitleFlagsTheAppIdWins", {both_titles | 0x7, 1, 1, 2, 3, 4, L"Acme.Viewer", 0},
     {start_flags::title_is_app_id | 0x7, 1, 1, 2, 3, 4, L"Acme.Viewer", 0}},
    {"ALinkNameFlagWithoutATitleGoesAlone", {start_flags::title_is_link_name, 0, 0, 0, 0, 0, L"", 0},
     {0, 0, 0, 0, 0, 0, nullptr, 0}},
    {"TheLaunchersOwnPathIsNoLinkName", {start_flags::title_is_link_name, 0, 0, 0, 0, 0, own_path, 0},
     {0, 0, 0, 0, 0, 0, nullptr, 0}},
    {"PinningIsPreventedOnlyWithAnAppId",
     {start_flags::prevent_pinning | start_flags::title_is_link_name, 0, 0, 0, 0, 0, shortcut, 0},
     {start_flags::title_is_link_name, 0, 0, 0, 0, 0, shortcut, 0}},
    {"StandardInputBesideAHotKeyIsNoHotKey",
     {use_std_handles | start_flags::use_hot_key, 0, 0, 0, 0, 0, nullptr, 0x44},
     {0, 0, 0, 0, 0, 0, nullptr, 0}},
};

class ForwardedStartup : public ::testing::TestWithParam<StartupCase> {};

TEST_P(ForwardedStartup, HandsOnWhatTheFlagsName) {
    EXPECT_EQ(fields_of(forwarded_startup(GetParam().given, own_path)), fields_of(GetParam().forwarded));
}

INSTANTIATE_TEST_SUITE_P(Given, ForwardedStartup, ::testing::ValuesIn(startup_cases),
                         [](const auto& case_info) { return std::string(case_info.param.behaviour); });

TEST(WithAppId, TakesTheShortcutsPlaceAndKeepsTheRest) {
    const StartupFields given{shortcut_flags, 3, 120, 80, 640, 480, shortcut, 0x641};
    const StartupFields expected{(shortcut_flags & ~start_flags::title_is_link_name) |
                                     start_flags::title_is_app_id,
                                 3, 120, 80, 640, 480, L"Acme.Viewer", 0x641};
    EXPECT_EQ(fields_of(with_app_id(given, L"Acme.Viewer", given.flags)), fields_of(expected));
}

TEST(WithAppId, KeepsTheGivenPreventionOfPinning) {
    const StartupFields given{start_flags::prevent_pinning, 0, 0, 0, 0, 0, nullptr, 0};
    EXPECT_EQ(with_app_id(forwarded_startup(given, own_path), L"A.B", given.flags).flags,
              start_flags::title_is_app_id | start_flags::prevent_pinning);
}

TEST(FailureBoxText, IsTheMessageABlankLineAndTheReportOfTheLargestCode) {
    constexpr std::wstring_view message = L"Acme Viewer could not start.";
    FailureBoxText<message.size()> text;
    text.fill(L'#');
    write_failure_box_text(message, std::numeric_limits<unsigned long>::max(), text.data());
    EXPECT_EQ(std::wstring(text.data()), L"Acme Viewer could not start.\n\nCreateProcess failed: " +
                                             std::to_wstring(std::numeric_limits<unsigned long>::max()));
}

}  // namespace
}  // namespace kestrovan
