# The launcher image from the entry function, the resources and `ARGN`, in the folder that calls
# this; the test tree also makes images with one thing too many, which the image checks must
# reject.
function(add_launcher_image target)
  add_executable(${target} WIN32 ${PROJECT_SOURCE_DIR}/launcher/run_launcher_win32.cpp
                                 ${PROJECT_SOURCE_DIR}/resources/kestrovan.rc ${ARGN})
  target_link_libraries(${target} PRIVATE launch_logic)
  kestrovan_strict(${target})
  # Static runtime: the image needs nothing beyond KERNEL32.dll and msvcrt.dll. No link time
  # stamp and no symbols, so that the image depends on the sources alone; unused sections go.
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -static -s -Wl,--no-insert-timestamp -Wl,--gc-sections)
endfunction()
