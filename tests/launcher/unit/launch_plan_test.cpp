#include "fake_module_path.h"
#include "launch_plan.h"
#include "start_failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>

namespace kestrovan {
namespace {

PathBuffer buffer_holding(std::wstring_view text) {
    PathBuffer buffer{};
    std::copy_n(text.begin(), std::min(text.size(), buffer.size()), buffer.begin());
    return buffer;
}

template <typename Case>
std::string behaviour_name(const ::testing::TestParamInfo<Case>& case_info) {
    return case_info.param.behaviour;
}

// Compared as std::wstring, which GoogleTest prints as text rather than unit by unit.
std::wstring text_of(std::wstring_view text) {
    return std::wstring(text);
}

// The text up to the first terminator, which must lie inside the array.
template <std::size_t capacity>
std::wstring text_of(const std::array<wchar_t, capacity>& text) {
    const auto terminator = std::find(text.begin(), text.end(), L'\0');
    EXPECT_NE(terminator, text.end()) << "no terminator";
    return std::wstring(text.begin(), terminator);
}

struct InstallationCase {
    const char* behaviour;
    const wchar_t* module_path;
    const wchar_t* launcher_directory;
    const wchar_t* working_directory;
    const wchar_t* runtime_path;
    unsigned long refusal;
};

// Named for a failing row, instead of the raw bytes of the struct.
void PrintTo(const InstallationCase& installation, std::ostream* out) {
    *out << installation.behaviour << " (module path "
         << ::testing::PrintToString(installation.module_path) << ")";
}

// A launcher in a drive's root whose path the platform shortened: the directory cut from the
// shortened text, C:, is absolute but not the launcher's.
const std::wstring shortened_module_path =
    LR"(C:\)" + std::wstring(300, L'd') + LR"(\kestrovan.exe)";

const InstallationCase installation_cases[] = {
    {"in_a_folder", LR"(C:\Tools\Viewer\kestrovan.exe)", LR"(C:\Tools\Viewer)",
     LR"(C:\Tools\Viewer\application\bin)",
     LR"(C:\Tools\Viewer\application\default-jre\bin\javaw.exe)", 0},
    {"in_a_drive_root_as_the_bare_drive", LR"(d:\kestrovan.exe)", LR"(d:)",
     LR"(d:\application\bin)", LR"(d:\application\default-jre\bin\javaw.exe)", 0},
    {"on_a_network_share", LR"(\\host\share\kestrovan.exe)", LR"(\\host\share)",
     LR"(\\host\share\application\bin)", LR"(\\host\share\application\default-jre\bin\javaw.exe)",
     0},
    {"through_a_device_path", LR"(\\?\C:\app\kestrovan.exe)", LR"(\\?\C:\app)",
     LR"(\\?\C:\app\application\bin)", LR"(\\?\C:\app\application\default-jre\bin\javaw.exe)", 0},
    {"with_a_forward_slash_as_a_plain_character", LR"(C:\a\b/c.exe)", LR"(C:\a)",
     LR"(C:\a\application\bin)", LR"(C:\a\application\default-jre\bin\javaw.exe)", 0},
    {"with_spaces_and_non_ascii_names", LR"(C:\Program Files\Ünïcødé\日本\kestrovan.exe)",
     LR"(C:\Program Files\Ünïcødé\日本)", LR"(C:\Program Files\Ünïcødé\日本\application\bin)",
     LR"(C:\Program Files\Ünïcødé\日本\application\default-jre\bin\javaw.exe)", 0},
    // Every case below plans no runtime: one planned from a relative directory would be found
    // from the current directory, and one from a shortened path in a folder above the launcher.
    {"shortened_by_the_platform", shortened_module_path.c_str(), LR"(C:)", LR"(C:\application\bin)",
     LR"()", shortened_module_path_error},
    {"reported_without_backslash_refused_as_relative", LR"(kestrovan.exe)", LR"(kestrovan.exe)",
     LR"(kestrovan.exe\application\bin)", LR"()", relative_launcher_directory_error},
    {"reported_as_unc_without_its_leading_backslashes", LR"(UNC\server\share\kestrovan.exe)",
     LR"(UNC\server\share)", LR"(UNC\server\share\application\bin)", LR"()",
     relative_launcher_directory_error},
    {"relative_to_a_drive_current_directory", LR"(C:app\kestrovan.exe)", LR"(C:app)",
     LR"(C:app\application\bin)", LR"()", relative_launcher_directory_error},
    {"reported_with_a_leading_backslash_only", LR"(\kestrovan.exe)", LR"()", LR"(\application\bin)",
     LR"()", relative_launcher_directory_error},
    {"reported_empty", LR"()", LR"()", LR"(\application\bin)", LR"()",
     relative_launcher_directory_error},
};

class Installation : public ::testing::TestWithParam<InstallationCase> {};

TEST_P(Installation, CutsTheLauncherDirectoryFromTheModulePath) {
    EXPECT_EQ(text_of(cut_launcher_directory(buffer_holding(GetParam().module_path))),
              GetParam().launcher_directory);
}

TEST_P(Installation, DerivesEveryPlanValueFromTheLauncherDirectory) {
    fake_module::set_module_path(GetParam().module_path);
    const LaunchPlan plan = make_launch_plan();
    EXPECT_EQ(text_of(plan.launcher_directory), GetParam().launcher_directory);
    EXPECT_EQ(text_of(plan.working_directory), GetParam().working_directory);
    EXPECT_EQ(text_of(plan.runtime_path), GetParam().runtime_path);
    EXPECT_EQ(plan.refusal, GetParam().refusal);
    EXPECT_EQ(text_of(plan.command_line), LR"(application\default-jre\bin\javaw.exe -jar launcher.jar)");
}

INSTANTIATE_TEST_SUITE_P(Installed, Installation, ::testing::ValuesIn(installation_cases),
                         behaviour_name<InstallationCase>);

TEST(CutLauncherDirectory, StopsAtTheFirstTerminator) {
    PathBuffer buffer = buffer_holding(LR"(C:\app\kestrovan.exe)");
    const std::wstring_view stale = LR"(\stale\text\)";
    std::copy(stale.begin(), stale.end(), buffer.begin() + 25);
    EXPECT_EQ(text_of(cut_launcher_directory(buffer)), LR"(C:\app)");
}

TEST(CutLauncherDirectory, ReadsAnUnterminatedBufferToItsEndOnly) {
    PathBuffer buffer;
    buffer.fill(L'x');
    buffer[100] = L'\\';
    EXPECT_EQ(text_of(cut_launcher_directory(buffer)), std::wstring(100, L'x'));

    buffer[100] = L'x';
    EXPECT_EQ(text_of(cut_launcher_directory(buffer)), std::wstring(path_capacity, L'x'));
}

TEST(MakeLaunchPlan, FillsTheCommandLineBufferWithZerosAfterTheText) {
    fake_module::set_module_path(LR"(C:\kestrovan.exe)");
    const LaunchPlan plan = make_launch_plan();
    ASSERT_EQ(std::wcslen(plan.command_line.data()), 55u);
    EXPECT_TRUE(std::all_of(plan.command_line.begin() + 55, plan.command_line.end(),
                            [](wchar_t unit) { return unit == L'\0'; }));
}

TEST(MakeLaunchPlan, PlansNoRuntimeWhenTheQueryFails) {
    fake_module::set_module_path(std::nullopt);
    const LaunchPlan plan = make_launch_plan();
    EXPECT_TRUE(fake_module::last_query_buffer_was_zeroed());
    EXPECT_EQ(text_of(plan.launcher_directory), L"");
    EXPECT_EQ(text_of(plan.working_directory), LR"(\application\bin)");
    EXPECT_EQ(text_of(plan.runtime_path), L"");
    EXPECT_EQ(plan.refusal, relative_launcher_directory_error);
}

TEST(MakeLaunchPlan, KeepsTheLongestPossibleDirectoryWholeInEveryString) {
    const std::wstring longest(path_capacity, L'd');
    fake_module::set_module_path(longest);
    const LaunchPlan refused = make_launch_plan();
    EXPECT_EQ(text_of(refused.launcher_directory), longest);
    EXPECT_EQ(text_of(refused.working_directory), longest + LR"(\application\bin)");

    // The longest path that fits with its terminator, and the shortest file name.
    const std::wstring longest_planned = LR"(C:\)" + std::wstring(path_capacity - 6, L'd');
    fake_module::set_module_path(longest_planned + LR"(\k)");
    EXPECT_EQ(text_of(make_launch_plan().runtime_path),
              longest_planned + LR"(\application\default-jre\bin\javaw.exe)");
}

struct FailureCase {
    const char* behaviour;
    unsigned long code;
    std::string_view text;
};

const FailureCase failure_cases[] = {
    {"file_not_found", 2, "CreateProcess failed: 2"},
    {"directory_missing", 267, "CreateProcess failed: 267"},
    {"zero", 0, "CreateProcess failed: 0"},
    {"largest_code_unsigned", 4294967295ul, "CreateProcess failed: 4294967295"},
};

class StartFailureText : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StartFailureText, IsThePrefixAndTheDecimalCodeWithoutLineBreak) {
    StartFailureBuffer buffer;
    EXPECT_EQ(start_failure_text(GetParam().code, buffer), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Codes, StartFailureText, ::testing::ValuesIn(failure_cases),
                         behaviour_name<FailureCase>);

TEST(StartFailureText, HasRoomForTheLargestCode) {
    StartFailureBuffer buffer;
    const unsigned long largest = std::numeric_limits<unsigned long>::max();
    EXPECT_EQ(start_failure_text(largest, buffer),
              std::string(start_failure_prefix) + std::to_string(largest));
}

}  // namespace
}  // namespace kestrovan
