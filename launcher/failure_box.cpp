#include "failure_box.h"

#include <algorithm>

namespace kestrovan {

void write_failure_box_text(std::wstring_view message, unsigned long code, wchar_t* text) {
    StartFailureBuffer buffer;
    const std::string_view report = start_failure_text(code, buffer);
    wchar_t* const separator = std::copy(message.begin(), message.end(), text);
    wchar_t* const report_start =
        std::copy(failure_box_separator.begin(), failure_box_separator.end(), separator);
    // The report is ASCII, so each of its bytes is one UTF-16 unit of the same value.
    *std::copy(report.begin(), report.end(), report_start) = L'\0';
}

}  // namespace kestrovan
