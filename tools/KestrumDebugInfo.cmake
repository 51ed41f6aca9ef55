# kestrum_debug_info_tools(): the build step's tool (tools/KestrumDebugInfoTool.cpp) and
# KorbDescribe, built once per build folder with the build machine's compiler, the way the settings
# tool is (crash/settings/KestrumSettings.cmake says why): they run where the build runs and read
# and write the container with the report library's own pure sources. Sets KESTRUM_DEBUG_INFO_TOOL
# and KORB_DESCRIBE in the caller's scope.
#
# kestrum_debug_info_container(<first link target> <second link target>)
# Gives <second link target> the container built from <first link target>: the first link writes
# its linker map into its build folder (never beside a program: the reader would take it for the
# program's own map), the tool reads both, and the container becomes resource "EXCEPT" of type
# "KORB" of the second link. Both links must have the same objects and libraries otherwise, so
# that the code comes out the same.
include_guard(GLOBAL)

function(kestrum_debug_info_tools)
  set(dir ${CMAKE_BINARY_DIR}/host-tools)
  set(tool ${dir}/kestrum_debug_info)
  set(describe ${dir}/KorbDescribe)
  if(NOT TARGET kestrum_debug_info_host_tools)
    set(library ${PROJECT_SOURCE_DIR}/report/KorbMapFile.cpp ${PROJECT_SOURCE_DIR}/report/KestrumDebugFiles.cpp
                ${PROJECT_SOURCE_DIR}/report/KestrumPeFile.cpp)
    file(GLOB headers ${PROJECT_SOURCE_DIR}/report/Kestrum*.h ${PROJECT_SOURCE_DIR}/report/KorbMapFile.h ${PROJECT_SOURCE_DIR}/platform/*.h)
    set(flags -std=c++20 -O2 -Wall -Wextra -Werror)
    if(KELVANE_CONFIG STREQUAL "host")
      list(APPEND flags -g -fsanitize=address,undefined -fno-sanitize-recover=undefined)
    endif()
    find_program(KELVANE_HOST_CXX NAMES c++ g++ clang++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
    set(builder ${PROJECT_SOURCE_DIR}/tools/KestrumDebugInfoTool.cpp)
    set(describer ${PROJECT_SOURCE_DIR}/tools/KorbDescribe.cpp)
    add_custom_command(
      OUTPUT ${tool} ${describe}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${KELVANE_HOST_CXX} ${flags} -I${PROJECT_SOURCE_DIR} ${builder} ${library} -lz -o ${tool}
      COMMAND ${KELVANE_HOST_CXX} ${flags} -I${PROJECT_SOURCE_DIR} ${describer} ${library} -lz -o ${describe}
      DEPENDS ${builder} ${describer} ${library} ${headers}
      COMMENT "Building the host debug-information tools"
      VERBATIM)
    add_custom_target(kestrum_debug_info_host_tools ALL DEPENDS ${tool} ${describe})
  endif()
  set(KESTRUM_DEBUG_INFO_TOOL ${tool} PARENT_SCOPE)
  set(KORB_DESCRIBE ${describe} PARENT_SCOPE)
endfunction()

function(kestrum_debug_info_container first second)
  if(NOT WIN32)
    return()
  endif()
  kestrum_debug_info_tools()
  find_program(KELVANE_MINGW_NM NAMES i686-w64-mingw32-nm REQUIRED)
  find_program(KELVANE_MINGW_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/korb_${second})
  set(map ${dir}/${first}.ld.map)
  set(container ${dir}/${second}.korb)
  set(rc ${dir}/${second}.korb.rc)
  set(obj ${dir}/${second}.korb.res.obj)
  file(MAKE_DIRECTORY ${dir})
  target_link_options(${first} PRIVATE -Wl,-Map=${map})
  file(CONFIGURE OUTPUT ${rc} CONTENT "EXCEPT KORB \"${container}\"\n")
  add_custom_command(
    OUTPUT ${container}
    COMMAND ${KESTRUM_DEBUG_INFO_TOOL} $<TARGET_FILE:${first}> ${map} ${container} ${KELVANE_MINGW_NM} ${KELVANE_MINGW_OBJDUMP}
    DEPENDS ${first} kestrum_debug_info_host_tools ${KESTRUM_DEBUG_INFO_TOOL}
    COMMENT "Building the debug-information container of ${second}"
    VERBATIM)
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${obj}
    DEPENDS ${rc} ${container}
    VERBATIM)
  set_source_files_properties(${obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${second} PRIVATE ${obj})
endfunction()
