#include "start_failure.h"

namespace kestrovan {

std::string start_failure_text(unsigned long code) {
    return "CreateProcess failed: " + std::to_string(code);
}

}  // namespace kestrovan
