# kestrum_settings_tool(<var>)
# The settings tool (tools/KestrumSettingsTool.cpp), built once per build folder; <var> receives
# its path. Every configuration builds it the same way: the cross build cannot make host programs
# with its own compiler, so the tool is compiled with the build machine's C++ compiler as a plain
# custom command: three source files, no libraries, rebuilt whenever its sources change. This keeps
# the tool the same C++ code as the loader's parser instead of a second implementation in a
# script. The host build adds its sanitizers, as for every other program it runs.
#
# kestrum_settings_resource(<target> <settings file>)
# Compiles a readable settings file into the binary settings stream and links it into <target>
# as the RT_RCDATA resource TKESTRUM.
#
# kestrum_settings_variant(<target> <settings file> ["Key = value"...])
# The same for a copy of the settings file in which the given keys have the given values (each
# key must be in the file), for test and benchmark programs that differ from the product only there.
include_guard(GLOBAL)

function(kestrum_settings_tool var)
  # Set here, not at file level: the include guard keeps file-level variables out of the second
  # directory that includes this file.
  kelvane_host_tool(tool kestrum_settings COMMENT "Building the host settings tool"
                    SOURCES ${PROJECT_SOURCE_DIR}/tools/KestrumSettingsTool.cpp ${PROJECT_SOURCE_DIR}/crash/settings/KestrumResource.cpp
                            ${PROJECT_SOURCE_DIR}/platform/Text.cpp
                    HEADERS ${PROJECT_SOURCE_DIR}/crash/settings/KestrumResource.h ${PROJECT_SOURCE_DIR}/crash/settings/KestrumSettingsTypes.h
                            ${PROJECT_SOURCE_DIR}/platform/StreamReader.h ${PROJECT_SOURCE_DIR}/tools/KestrumToolFiles.h
                            ${PROJECT_SOURCE_DIR}/platform/Convert.h ${PROJECT_SOURCE_DIR}/platform/Text.h)
  set(${var} ${tool} PARENT_SCOPE)
endfunction()

function(kestrum_settings_resource target settings)
  if(NOT WIN32)
    return()
  endif()
  kestrum_settings_tool(KESTRUM_TOOL)

  get_filename_component(stem ${settings} NAME_WE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/kestrum_${target})
  set(bin ${dir}/${stem}.settings.bin)
  set(rc ${dir}/${stem}.settings.rc)
  set(obj ${dir}/${stem}.settings.res.obj)
  file(MAKE_DIRECTORY ${dir})
  file(CONFIGURE OUTPUT ${rc} CONTENT "TKESTRUM RCDATA \"${bin}\"\n")
  add_custom_command(
    OUTPUT ${bin}
    COMMAND ${KESTRUM_TOOL} ${settings} ${bin}
    DEPENDS ${settings} ${KESTRUM_TOOL} kestrum_settings_host_tool
    COMMENT "Compiling settings ${stem} for ${target}"
    VERBATIM)
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${obj}
    DEPENDS ${rc} ${bin}
    VERBATIM)
  set_source_files_properties(${obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${obj})
endfunction()

function(kestrum_settings_variant target settings)
  if(NOT WIN32)
    return()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${settings})
  file(READ ${settings} text)
  foreach(setting ${ARGN})
    string(REGEX MATCH "^[A-Za-z0-9]+" key "${setting}")
    if(NOT text MATCHES "\n${key} = ")
      message(FATAL_ERROR "kestrum_settings_variant: ${key} is not in ${settings}")
    endif()
    string(REGEX REPLACE "\n${key} = [^\n]*" "\n${setting}" text "${text}")
  endforeach()
  set(variant ${CMAKE_CURRENT_BINARY_DIR}/${target}.settings)
  file(CONFIGURE OUTPUT ${variant} CONTENT "${text}" @ONLY)
  kestrum_settings_resource(${target} ${variant})
endfunction()
