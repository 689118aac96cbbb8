set(KESTROVAN_VARIANT_DIR ${PROJECT_SOURCE_DIR}/resources CACHE PATH
    "The image's kestrovan.rc and launch_options.h: resources/, or a brand file's variant folder")

# The launcher image from the entry function, the resources and `ARGN`, in the folder that calls
# this; the test tree also makes images with one thing too many, which the image checks must
# reject, and branded ones, from a variant folder of their own (VARIANT_DIR). With CONSOLE, the
# image is the variant's console twin: a console program that starts java.exe.
function(add_launcher_image target)
  cmake_parse_arguments(PARSE_ARGV 1 image "CONSOLE" "VARIANT_DIR" "")
  if(NOT image_VARIANT_DIR)
    set(image_VARIANT_DIR ${KESTROVAN_VARIANT_DIR})
  endif()
  set(subsystem WIN32)
  if(image_CONSOLE)
    set(subsystem "")
  endif()
  add_executable(${target} ${subsystem} ${PROJECT_SOURCE_DIR}/launcher/run_launcher_win32.cpp
                                 ${image_VARIANT_DIR}/kestrovan.rc
                                 ${image_VARIANT_DIR}/launch_options.h
                                 ${image_UNPARSED_ARGUMENTS})
  target_include_directories(${target} PRIVATE ${image_VARIANT_DIR})
  # The resource compiler tells the build of no file the script names (the icon, the manifest):
  # those are the folder's .ico and .manifest files, and a change to one must rebuild the image.
  file(GLOB named_files CONFIGURE_DEPENDS ${image_VARIANT_DIR}/*.ico
                                          ${image_VARIANT_DIR}/*.manifest)
  set_source_files_properties(${image_VARIANT_DIR}/kestrovan.rc PROPERTIES
                              OBJECT_DEPENDS "${named_files}")
  target_link_libraries(${target} PRIVATE launch_logic)
  if(image_CONSOLE)
    target_compile_definitions(${target} PRIVATE KESTROVAN_CONSOLE_TWIN=true)
  endif()
  kestrovan_strict(${target})
  # Static runtime: the image needs nothing beyond KERNEL32.dll and msvcrt.dll. No link time
  # stamp and no symbols, so that the image depends on the sources alone; unused sections go.
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -static -s -Wl,--no-insert-timestamp -Wl,--gc-sections)
endfunction()
