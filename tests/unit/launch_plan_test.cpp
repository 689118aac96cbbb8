#include "fake_module_path.h"
#include "launch_plan.h"
#include "start_failure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
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

std::wstring text_of(const PathBuffer& buffer) {
    return std::wstring(buffer.data(), std::wcslen(buffer.data()));
}

struct CutCase {
    const char* behaviour;
    std::wstring_view module_path;
    std::wstring_view launcher_directory;
};

const CutCase cut_cases[] = {
    {"drops_the_file_name", LR"(C:\Tools\Viewer\kestrovan.exe)", LR"(C:\Tools\Viewer)"},
    {"leaves_the_bare_drive_for_a_root", LR"(D:\kestrovan.exe)", LR"(D:)"},
    {"keeps_a_network_share", LR"(\\host\share\kestrovan.exe)", LR"(\\host\share)"},
    {"treats_a_forward_slash_as_a_plain_character", LR"(C:\a\b/c.exe)", LR"(C:\a)"},
    {"keeps_a_path_without_backslash_whole", LR"(kestrovan.exe)", LR"(kestrovan.exe)"},
    {"empties_a_path_whose_only_backslash_leads", LR"(\kestrovan.exe)", LR"()"},
    {"keeps_an_empty_path_empty", LR"()", LR"()"},
    {"keeps_spaces_and_non_ascii_names", LR"(C:\Program Files\Ünïcødé\日本\kestrovan.exe)",
     LR"(C:\Program Files\Ünïcødé\日本)"},
};

class CutLauncherDirectory : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutLauncherDirectory, FromModulePath) {
    EXPECT_EQ(cut_launcher_directory(buffer_holding(GetParam().module_path)),
              GetParam().launcher_directory);
}

INSTANTIATE_TEST_SUITE_P(Paths, CutLauncherDirectory, ::testing::ValuesIn(cut_cases),
                         behaviour_name<CutCase>);

TEST(CutLauncherDirectory, StopsAtTheFirstTerminator) {
    PathBuffer buffer = buffer_holding(LR"(C:\app\kestrovan.exe)");
    const std::wstring_view stale = LR"(\stale\text\)";
    std::copy(stale.begin(), stale.end(), buffer.begin() + 25);
    EXPECT_EQ(cut_launcher_directory(buffer), LR"(C:\app)");
}

TEST(CutLauncherDirectory, ReadsAnUnterminatedBufferToItsEndOnly) {
    PathBuffer buffer;
    buffer.fill(L'x');
    buffer[100] = L'\\';
    EXPECT_EQ(cut_launcher_directory(buffer), std::wstring(100, L'x'));

    buffer[100] = L'x';
    EXPECT_EQ(cut_launcher_directory(buffer), std::wstring(path_capacity, L'x'));
}

struct PlanCase {
    const char* behaviour;
    std::wstring_view module_path;
    std::wstring_view launcher_directory;
    std::wstring_view working_directory;
    std::wstring_view runtime_path;
};

const PlanCase plan_cases[] = {
    {"installed_in_a_folder", LR"(C:\Tools\Viewer\kestrovan.exe)", LR"(C:\Tools\Viewer)",
     LR"(C:\Tools\Viewer\application\bin)",
     LR"(C:\Tools\Viewer\application\default-jre\bin\javaw.exe)"},
    {"installed_in_a_drive_root", LR"(D:\kestrovan.exe)", LR"(D:)", LR"(D:\application\bin)",
     LR"(D:\application\default-jre\bin\javaw.exe)"},
    {"installed_on_a_share", LR"(\\host\share\kestrovan.exe)", LR"(\\host\share)",
     LR"(\\host\share\application\bin)", LR"(\\host\share\application\default-jre\bin\javaw.exe)"},
    {"reported_without_backslash", LR"(kestrovan.exe)", LR"(kestrovan.exe)",
     LR"(kestrovan.exe\application\bin)", LR"(kestrovan.exe\application\default-jre\bin\javaw.exe)"},
    {"reported_with_a_leading_backslash_only", LR"(\kestrovan.exe)", LR"()", LR"(\application\bin)",
     LR"(\application\default-jre\bin\javaw.exe)"},
};

class MakeLaunchPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(MakeLaunchPlan, DerivesEveryValueFromTheLauncherDirectory) {
    testing::set_module_path(std::wstring(GetParam().module_path));
    const LaunchPlan plan = make_launch_plan();
    EXPECT_EQ(plan.launcher_directory, GetParam().launcher_directory);
    EXPECT_EQ(plan.working_directory, GetParam().working_directory);
    EXPECT_EQ(plan.runtime_path, GetParam().runtime_path);
    EXPECT_EQ(text_of(plan.command_line), LR"(application\default-jre\bin\javaw.exe -jar launcher.jar)");
}

INSTANTIATE_TEST_SUITE_P(Installations, MakeLaunchPlan, ::testing::ValuesIn(plan_cases),
                         behaviour_name<PlanCase>);

TEST(MakeLaunchPlan, FillsTheCommandLineBufferWithZerosAfterTheText) {
    testing::set_module_path(LR"(C:\kestrovan.exe)");
    const LaunchPlan plan = make_launch_plan();
    ASSERT_EQ(std::wcslen(plan.command_line.data()), 55u);
    EXPECT_TRUE(std::all_of(plan.command_line.begin() + 55, plan.command_line.end(),
                            [](wchar_t unit) { return unit == L'\0'; }));
}

TEST(MakeLaunchPlan, CutsAPathTheBufferShortened) {
    const std::wstring long_directory = L"C:\\" + std::wstring(300, L'd');
    testing::set_module_path(long_directory + L"\\kestrovan.exe");
    EXPECT_EQ(make_launch_plan().launcher_directory, L"C:");
}

TEST(MakeLaunchPlan, ReadsAFailedQueryAsAnEmptyPath) {
    testing::set_module_path(std::nullopt);
    const LaunchPlan plan = make_launch_plan();
    EXPECT_TRUE(testing::last_query_buffer_was_zeroed());
    EXPECT_EQ(plan.launcher_directory, L"");
    EXPECT_EQ(plan.working_directory, LR"(\application\bin)");
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
    EXPECT_EQ(start_failure_text(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Codes, StartFailureText, ::testing::ValuesIn(failure_cases),
                         behaviour_name<FailureCase>);

}  // namespace
}  // namespace kestrovan
