#include "child_command.h"
#include "directory_root.h"
#include "java_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrovan {
namespace {

struct SplitCase {
    const char* behaviour;
    std::wstring_view command_line;
    std::wstring_view arguments;
};

const SplitCase split_cases[] = {
    {"plain", L"kestrovan.exe a b", L"a b"},
    {"quoted_name_with_blanks_and_a_document",
     LR"("C:\Program Files\Acme\Acme Viewer.exe" "C:\Docs\ü 日本.txt")", LR"("C:\Docs\ü 日本.txt")"},
    {"quotes_inside_the_name", LR"(C:\a\"b c"\x.exe  arg)", L"arg"},
    {"a_backslash_before_the_names_quote_escapes_nothing", LR"("C:\dir\" tail)", L"tail"},
    {"tabs_end_the_name_and_are_skipped", L"x.exe\t \ta\tb", L"a\tb"},
    {"an_empty_quoted_name", LR"("" x)", L"x"},
    {"arguments_kept_as_given", LR"(x.exe "" a\\\"b "c d\\"  )", LR"("" a\\\"b "c d\\"  )"},
    {"a_trailing_backslash", LR"(x.exe C:\dir\)", LR"(C:\dir\)"},
    {"no_arguments", L"x.exe   ", L""},
    {"an_unclosed_quote_takes_the_rest", LR"("C:\a b.exe arg)", L""},
};

class SplitCommandLine : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLine, KeepsWhatFollowsTheProgramName) {
    EXPECT_EQ(std::wstring(arguments_after_program_name(GetParam().command_line)),
              GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SplitCommandLine, ::testing::ValuesIn(split_cases),
                         [](const auto& case_info) { return std::string(case_info.param.behaviour); });

TEST(WriteJoined, FillsThePlatformsLimitAndRefusesOneUnitMore) {
    std::vector<wchar_t> buffer(command_line_limit, L'#');
    const std::wstring arguments(command_line_limit - 1 - child_command_line.size() - 1, L'a');
    ASSERT_TRUE(write_joined({child_command_line, L" ", arguments}, buffer.data(), buffer.size()));
    EXPECT_EQ(std::wstring(buffer.data()), std::wstring(child_command_line) + L" " + arguments);
    buffer.assign(command_line_limit, L'#');
    EXPECT_FALSE(write_joined({child_command_line, L" ", arguments, L"a"}, buffer.data(),
                              buffer.size()));
    EXPECT_EQ(buffer[0], L'#');
}

TEST(JavaEnvironment, DropsTheRuntimesOptionsWhateverTheirCaseAndKeepsTheRest) {
    const std::wstring block(L"=C:=C:\\x\0_java_options=-Xmx1m\0PATH=C:\\a\0Java_Tool_Options=a\0"
                             L"JDK_JAVA_OPTIONS=\0JDK_JAVA_OPTIONS_X=1\0XJAVA_TOOL_OPTIONS=1\0\0",
                             121);
    std::wstring cleaned(environment_block_size(block.data()), L'#');
    write_environment_without_java_options(block.data(), cleaned.data());
    EXPECT_EQ(cleaned.substr(0, 62),
              std::wstring(L"=C:=C:\\x\0PATH=C:\\a\0JDK_JAVA_OPTIONS_X=1\0XJAVA_TOOL_OPTIONS=1\0\0", 62));
    // Nothing left is still a block: two terminators.
    write_environment_without_java_options(L"_JAVA_OPTIONS=1\0", cleaned.data());
    EXPECT_EQ(cleaned.substr(0, 2), std::wstring(2, L'\0'));
}

struct RootCase {
    std::wstring_view directory;
    unsigned long refusal;
};

class RootlessDirectory : public ::testing::TestWithParam<RootCase> {};

TEST_P(RootlessDirectory, IsRefusedAsRelative) {
    EXPECT_EQ(rootless_refusal(GetParam().directory), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, RootlessDirectory,
    ::testing::Values(RootCase{LR"(\\?)", 161}, RootCase{LR"(\\.)", 161}, RootCase{LR"(\\?\app)", 161},
                      RootCase{LR"(\\server)", 161}, RootCase{LR"(\\)", 161},
                      RootCase{LR"(\\?\UNC\server)", 161}, RootCase{LR"(\\?\C:)", 0},
                      RootCase{LR"(\\.\d:\app)", 0}, RootCase{LR"(\\?\Volume{1-2}\app)", 0},
                      RootCase{LR"(\\?\UNC\server\share)", 0}, RootCase{LR"(\\server\share\a)", 0},
                      RootCase{LR"(C:\app)", 0}));

}  // namespace
}  // namespace kestrovan
