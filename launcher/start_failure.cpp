#include "start_failure.h"

#include <algorithm>
#include <charconv>

namespace kestrovan {

std::string_view start_failure_text(unsigned long code, StartFailureBuffer& buffer) {
    char* const digits = std::copy(start_failure_prefix.begin(), start_failure_prefix.end(), buffer.data());
    // The buffer holds the largest code's digits, so the conversion cannot run out of room.
    char* const end = std::to_chars(digits, buffer.data() + buffer.size(), code).ptr;
    return std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
}

}  // namespace kestrovan
