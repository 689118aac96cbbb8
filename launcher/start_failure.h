#pragma once

#include <string>

namespace kestrovan {

/// The report of a failed start with platform error `code`: the fixed prefix and the code in
/// unsigned decimal, with no line break.
std::string start_failure_text(unsigned long code);

}  // namespace kestrovan
