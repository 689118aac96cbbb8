# The host tree drives everything: it builds the same sources for x86_64 (run under wine64) and
# for i686 (the shipped image), then tests both from here.
include(ExternalProject)

find_program(KESTROVAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(KESTROVAN_WINE64 wine64 PATHS /usr/lib/wine)
find_program(KESTROVAN_WINE wine)

set(wine_environment
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=)
# pytest leaves with this status when the host cannot run what a test needs.
set(skip_status 77)

function(add_windows_tree arch)
  ExternalProject_Add(windows-${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows-${arch}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/${arch}-w64-mingw32.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel
      -DBUILD_TESTING=ON
      -DKESTROVAN_GOOGLETEST_DIR=${KESTROVAN_GOOGLETEST_DIR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    TEST_COMMAND "")
endfunction()

function(windows_tree_path out arch relative_path)
  set(${out} ${CMAKE_BINARY_DIR}/windows-${arch}/${relative_path} PARENT_SCOPE)
endfunction()

function(add_pytest name suite)
  cmake_parse_arguments(arg "" "TIMEOUT" "ENVIRONMENT;FIXTURES" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 600)
  endif()
  add_test(NAME ${name}
    COMMAND ${KESTROVAN_PYTHON} -m pytest -v -rs -p no:cacheprovider
            ${PROJECT_SOURCE_DIR}/tests/${suite})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${wine_environment};${arg_ENVIRONMENT}"
    SKIP_RETURN_CODE ${skip_status}
    FIXTURES_REQUIRED "${arg_FIXTURES}"
    TIMEOUT ${arg_TIMEOUT})
endfunction()

add_windows_tree(x86_64)
add_windows_tree(i686)

if(KESTROVAN_WINE64)
  # A new prefix takes seconds to create; made once, before the tests that share it.
  add_test(NAME wine.prefix COMMAND ${KESTROVAN_WINE64} wineboot --init)
  set_tests_properties(wine.prefix PROPERTIES
    ENVIRONMENT "${wine_environment}" FIXTURES_SETUP wine)
  windows_tree_path(unit_test x86_64 tests/unit/launch_plan_test.exe)
  add_test(NAME unit.wine64 COMMAND ${KESTROVAN_WINE64} ${unit_test})
  # Wine's own status can be 0 for a program that never ran, so the test passes on what
  # GoogleTest printed.
  set_tests_properties(unit.wine64 PROPERTIES
    ENVIRONMENT "${wine_environment}" FIXTURES_REQUIRED wine
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests"
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endif()

foreach(arch x86_64 i686)
  if(arch STREQUAL "x86_64")
    set(wine "${KESTROVAN_WINE64}")
  else()
    set(wine "${KESTROVAN_WINE}")
  endif()
  windows_tree_path(launcher ${arch} launcher/kestrovan.exe)
  windows_tree_path(stand_in ${arch} tests/stand_in/javaw.exe)
  add_pytest(behaviour.${arch} behaviour
    ENVIRONMENT KESTROVAN_LAUNCHER=${launcher} KESTROVAN_STAND_IN=${stand_in}
                KESTROVAN_WINE=${wine} KESTROVAN_ARCH=${arch}
    FIXTURES wine)
endforeach()

windows_tree_path(product i686 launcher/kestrovan.exe)
windows_tree_path(tampered i686 tests/tampered)
add_pytest(image.i686 image ENVIRONMENT KESTROVAN_IMAGE=${product})
add_pytest(release.i686 release ENVIRONMENT KESTROVAN_IMAGE=${product} KESTROVAN_TAMPERED=${tampered})
add_pytest(reproducible reproducible ENVIRONMENT KESTROVAN_IMAGE=${product} TIMEOUT 1200)
add_pytest(icon icon)
