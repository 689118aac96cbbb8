# Warnings are errors for the project's own code; third-party test code keeps its own flags.
function(kestrovan_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror)
  # No build path may end up in an object: two checkouts must build the same bytes.
  target_compile_options(${target} PRIVATE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
endfunction()
