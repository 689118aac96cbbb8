#pragma once

namespace kestrovan {

/// Starts the bundled runtime as planned, reports a failed start on standard output, waits for
/// the child to end and returns the process's exit status, always 0.
int run_launcher();

}  // namespace kestrovan
