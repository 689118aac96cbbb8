#include "java_environment.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

namespace kestrovan {

namespace {

constexpr std::wstring_view java_options_variables[] = {L"_JAVA_OPTIONS", L"JAVA_TOOL_OPTIONS",
                                                        L"JDK_JAVA_OPTIONS"};

// The names are ASCII, and so is what Windows compares equal to them.
wchar_t ascii_upper(wchar_t unit) {
    return L'a' <= unit && unit <= L'z' ? static_cast<wchar_t>(unit - (L'a' - L'A')) : unit;
}

bool sets(std::wstring_view entry, std::wstring_view name) {
    return entry.size() > name.size() && entry[name.size()] == L'=' &&
           std::equal(name.begin(), name.end(), entry.begin(),
                      [](wchar_t upper, wchar_t unit) { return ascii_upper(unit) == upper; });
}

}  // namespace

bool sets_java_options(std::wstring_view entry) {
    return std::any_of(std::begin(java_options_variables), std::end(java_options_variables),
                       [entry](std::wstring_view name) { return sets(entry, name); });
}

std::size_t environment_block_size(const wchar_t* block) {
    const wchar_t* entry = block;
    while (*entry != L'\0') {
        entry += std::wcslen(entry) + 1;
    }
    // An empty block is two terminators, whatever the platform's block holds.
    return std::max<std::size_t>(static_cast<std::size_t>(entry - block) + 1, 2);
}

void write_environment_without_java_options(const wchar_t* block, wchar_t* cleaned) {
    wchar_t* const start = cleaned;
    for (std::wstring_view entry(block); !entry.empty(); entry = std::wstring_view(block)) {
        if (!sets_java_options(entry)) {
            cleaned = std::copy(entry.begin(), entry.end(), cleaned);
            *cleaned++ = L'\0';
        }
        block += entry.size() + 1;
    }
    if (cleaned == start) {
        *cleaned++ = L'\0';
    }
    *cleaned = L'\0';
}

}  // namespace kestrovan
