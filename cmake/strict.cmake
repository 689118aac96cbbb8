# Warnings are errors for the project's own code; third-party test code keeps its own flags.
function(kestrovan_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror)
endfunction()
