#pragma once

namespace kestrovan {

/// Starts the bundled runtime as planned and as the launch options say, reports a failed start
/// on standard output, waits for the child to end and returns the process's exit status: 0, or
/// with `launch_options::exit_with_child_code` the child's exit code or the failed start's code.
int run_launcher();

}  // namespace kestrovan
