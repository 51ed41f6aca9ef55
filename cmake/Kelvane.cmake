# Build helpers shared by every folder. See the top-level CMakeLists.txt for the three configurations.

set(KELVANE_OWN_FLAGS -Wall -Wextra -fnon-call-exceptions -fno-omit-frame-pointer -g)

macro(kelvane_setup)
  # Programs, test programs and DLLs side by side, as they are shipped and as Wine loads them.
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(WIN32)
    set(KELVANE_CONFIG win32)
    # The crash report's code analyser follows functions the way a frame-based compiler lays them
    # out: no tail calls as jumps, no switch tables in read-only data, no cold parts moved away.
    list(APPEND KELVANE_OWN_FLAGS -fno-optimize-sibling-calls -fno-jump-tables -fno-reorder-blocks-and-partition)
    # Kelvane.exe may import Windows system DLLs only.
    add_link_options(-static -static-libgcc -static-libstdc++)
    set(ZLIB_USE_STATIC_LIBS ON)
    set(KELVANE_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
    configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
    # One Wine server and one display for the whole test run, started detached so that ctest
    # does not wait on a server that inherited its output pipe.
    add_test(NAME win32.session_start COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-session start ${KELVANE_WINE_DIR})
    add_test(NAME win32.session_stop COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-session stop ${KELVANE_WINE_DIR})
    set_tests_properties(win32.session_start PROPERTIES FIXTURES_SETUP wine LABELS "wine;gui")
    set_tests_properties(win32.session_stop PROPERTIES FIXTURES_CLEANUP wine LABELS "wine;gui")
  elseif(KELVANE_FUZZ)
    set(KELVANE_CONFIG fuzz)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      message(FATAL_ERROR "KELVANE_FUZZ needs clang (CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined)
    add_link_options(-fsanitize=address,undefined)
  else()
    set(KELVANE_CONFIG host)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()

  # Test peers from npm (readers of our minidumps and symbol files), which scripts/deps.sh installs
  # beside the build folders.
  get_filename_component(KELVANE_NPM_PEERS ${CMAKE_BINARY_DIR}/../npm-peers ABSOLUTE)

  find_package(ZLIB REQUIRED)
  if(NOT KELVANE_FUZZ)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
endmacro()

# Own-code flags for one target.
function(kelvane_own target)
  target_compile_options(${target} PRIVATE ${KELVANE_OWN_FLAGS})
  if(KELVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Keep the sources that belong in this configuration: *_win.* files only in win32.
function(kelvane_filter_sources out)
  set(kept)
  foreach(src ${ARGN})
    if(src MATCHES "_win\\.(cpp|h|rc)$" AND NOT WIN32)
      continue()
    endif()
    list(APPEND kept ${src})
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

# kelvane_library(name [WINDOWS_ONLY] SOURCES ... LIBS ...)
# One library per folder; on the host only its pure part is compiled.
function(kelvane_library name)
  cmake_parse_arguments(A "WINDOWS_ONLY" "" "SOURCES;LIBS" ${ARGN})
  if(A_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  kelvane_filter_sources(srcs ${A_SOURCES})
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
  kelvane_own(${name})
endfunction()

# kelvane_test(name [WINDOWS_ONLY] [GUI] [NO_GTEST_MAIN] SOURCES ... LIBS ... [TIMEOUT s] [ENV ...])
# One test executable, one ctest entry. Host: label host. Win32: runs under Wine, label wine,
# or gui for tests that open windows on the test display.
function(kelvane_test name)
  cmake_parse_arguments(A "WINDOWS_ONLY;GUI;NO_GTEST_MAIN" "TIMEOUT" "SOURCES;LIBS;ENV;DEPENDS" ${ARGN})
  if(KELVANE_FUZZ OR (A_WINDOWS_ONLY AND NOT WIN32))
    return()
  endif()
  kelvane_filter_sources(srcs ${A_SOURCES})
  add_executable(${name} ${srcs})
  kelvane_own(${name})
  if(A_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock)
  else()
    target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest_main GTest::gmock)
  endif()
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
  # Test names carry the configuration: the host and win32 folders run in one ctest session.
  set(test ${KELVANE_CONFIG}.${name})
  add_test(NAME ${test} COMMAND ${name})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  if(WIN32)
    math(EXPR A_TIMEOUT "${A_TIMEOUT} * ${KELVANE_TIME_SCALE}")
  endif()
  set(env KELVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR} KELVANE_BINARY_DIR=${CMAKE_BINARY_DIR} ${A_ENV})
  if(WIN32)
    if(A_GUI)
      set(label gui)
    else()
      set(label wine)
    endif()
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED wine)
    if(A_GUI)
      # One pointer and one keyboard on the test display.
      set_tests_properties(${test} PROPERTIES RESOURCE_LOCK display)
    endif()
  else()
    set(label host)
  endif()
  set_tests_properties(${test} PROPERTIES LABELS ${label} TIMEOUT ${A_TIMEOUT} ENVIRONMENT "${env}")
endfunction()

# kelvane_fuzz(name SOURCES ... LIBS ...): a libFuzzer target, smoke-run by the test suite.
function(kelvane_fuzz name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KELVANE_FUZZ)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  kelvane_own(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_test(NAME fuzz.${name} COMMAND ${name} -runs=${KELVANE_FUZZ_SMOKE_RUNS} -max_total_time=20)
  set_tests_properties(fuzz.${name} PROPERTIES LABELS "host;fuzz" TIMEOUT 120)
endfunction()

# kelvane_host_tool(<var> <name> COMMENT <text> SOURCES <file>... HEADERS <file>...
#                   [OPTIMIZE <flag>] [LIBS <flag>...])
# A build-time tool compiled once per build folder with the build machine's C++ compiler (the cross
# build cannot make host programs with its own), under the sanitizers in the host build. <var>
# receives the tool's path; the target <name>_host_tool builds it. OPTIMIZE defaults to -O1.
function(kelvane_host_tool var name)
  cmake_parse_arguments(A "" "COMMENT;OPTIMIZE" "SOURCES;HEADERS;LIBS" ${ARGN})
  set(tool ${CMAKE_BINARY_DIR}/host-tools/${name})
  if(NOT TARGET ${name}_host_tool)
    if(NOT A_OPTIMIZE)
      set(A_OPTIMIZE -O1)
    endif()
    set(flags -std=c++20 ${A_OPTIMIZE} -Wall -Wextra -Werror)
    if(KELVANE_CONFIG STREQUAL "host")
      list(APPEND flags -g -fsanitize=address,undefined -fno-sanitize-recover=undefined)
    endif()
    find_program(KELVANE_HOST_CXX NAMES c++ g++ clang++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
    add_custom_command(
      OUTPUT ${tool}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host-tools
      COMMAND ${KELVANE_HOST_CXX} ${flags} -I${PROJECT_SOURCE_DIR} ${A_SOURCES} ${A_LIBS} -o ${tool}
      DEPENDS ${A_SOURCES} ${A_HEADERS}
      COMMENT "${A_COMMENT}"
      VERBATIM)
    add_custom_target(${name}_host_tool ALL DEPENDS ${tool})
  endif()
  set(${var} ${tool} PARENT_SCOPE)
endfunction()
