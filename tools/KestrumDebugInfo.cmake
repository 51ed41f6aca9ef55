# kestrum_debug_info_tools(): the build step's tool (tools/KestrumDebugInfoTool.cpp) and
# KorbDescribe, built with kelvane_host_tool: they run where the build runs and read and write the
# container with the report library's own pure sources. Sets KESTRUM_DEBUG_INFO_TOOL
# and KORB_DESCRIBE in the caller's scope.
#
# kestrum_breakpad_symbols(<program target>)
# Lays the program's Breakpad symbol file out in the symbol store <build folder>/symbols
# (<name>/<id>/<name>.sym, by the program's CodeView record) whenever the program is built.
#
# kestrum_debug_info_container(<first link target> <second link target>)
# Gives <second link target> the container built from <first link target>: the first link writes
# its linker map into its build folder (never beside a program: the reader would take it for the
# program's own map), the tool reads both, and the container becomes resource "EXCEPT" of type
# "KORB" of the second link. Both links must have the same objects and libraries otherwise, so
# that the code comes out the same.
include_guard(GLOBAL)

function(kestrum_debug_info_tools)
  set(library ${PROJECT_SOURCE_DIR}/report/KorbMapFile.cpp ${PROJECT_SOURCE_DIR}/report/KorbCodecs.cpp
              ${PROJECT_SOURCE_DIR}/report/KorbDemangle.cpp ${PROJECT_SOURCE_DIR}/report/KestrumBlowfish.cpp
              ${PROJECT_SOURCE_DIR}/report/KestrumDebugFiles.cpp ${PROJECT_SOURCE_DIR}/report/KestrumPeFile.cpp
              ${PROJECT_SOURCE_DIR}/platform/Text.cpp)
  file(GLOB headers ${PROJECT_SOURCE_DIR}/report/Kestrum*.h ${PROJECT_SOURCE_DIR}/report/KorbMapFile.h ${PROJECT_SOURCE_DIR}/report/KorbCodecs.h
       ${PROJECT_SOURCE_DIR}/report/KorbDemangle.h ${PROJECT_SOURCE_DIR}/platform/*.h)
  kelvane_host_tool(tool kestrum_debug_info COMMENT "Building the host debug-information tool" OPTIMIZE -O2
                    SOURCES ${PROJECT_SOURCE_DIR}/tools/KestrumDebugInfoTool.cpp ${library} HEADERS ${headers} LIBS -lz)
  kelvane_host_tool(describe KorbDescribe COMMENT "Building the host container describer" OPTIMIZE -O2
                    SOURCES ${PROJECT_SOURCE_DIR}/tools/KorbDescribe.cpp ${library} HEADERS ${headers} LIBS -lz)
  kelvane_host_tool(symbols KestrumBreakpadSymbols COMMENT "Building the host symbol file writer" OPTIMIZE -O2
                    SOURCES ${PROJECT_SOURCE_DIR}/tools/KestrumBreakpadSymbols.cpp ${library} HEADERS ${headers} LIBS -lz)
  set(KESTRUM_BREAKPAD_SYMBOLS ${symbols} PARENT_SCOPE)
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
    DEPENDS ${first} kestrum_debug_info_host_tool ${KESTRUM_DEBUG_INFO_TOOL}
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

function(kestrum_breakpad_symbols program)
  if(NOT WIN32)
    return()
  endif()
  kestrum_debug_info_tools()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${program}.symbols.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${KESTRUM_BREAKPAD_SYMBOLS} $<TARGET_FILE:${program}> ${CMAKE_BINARY_DIR}/symbols
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${program} KestrumBreakpadSymbols_host_tool ${KESTRUM_BREAKPAD_SYMBOLS}
    COMMENT "Writing the Breakpad symbols of ${program}"
    VERBATIM)
  add_custom_target(${program}_symbols ALL DEPENDS ${stamp})
endfunction()
