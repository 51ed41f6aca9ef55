# kestrum_form_tool(<var>)
# The form tool (tools/KestrumFormTool.cpp), built once per build folder with the build machine's
# C++ compiler, as the settings tool is: the cross build cannot make host programs with its own
# compiler, and the tool must run the reader's own code.
#
# kestrum_form_resources(<target> <form file>...)
# Compiles each readable form description (NAME.form) into its binary form stream and links them
# into <target> as the RT_RCDATA resources "TZQ" + NAME in upper case.
include_guard(GLOBAL)

function(kestrum_form_tool var)
  kelvane_host_tool(tool kestrum_form COMMENT "Building the host form tool"
                    SOURCES ${PROJECT_SOURCE_DIR}/tools/KestrumFormTool.cpp ${PROJECT_SOURCE_DIR}/delivery/KestrumAssistantForm.cpp
                            ${PROJECT_SOURCE_DIR}/platform/Text.cpp
                    HEADERS ${PROJECT_SOURCE_DIR}/delivery/KestrumAssistantForm.h ${PROJECT_SOURCE_DIR}/platform/StreamReader.h
                            ${PROJECT_SOURCE_DIR}/tools/KestrumToolFiles.h ${PROJECT_SOURCE_DIR}/platform/Convert.h
                            ${PROJECT_SOURCE_DIR}/platform/Text.h)
  set(${var} ${tool} PARENT_SCOPE)
endfunction()

function(kestrum_form_resources target)
  if(NOT WIN32)
    return()
  endif()
  kestrum_form_tool(tool)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/kestrum_forms_${target})
  file(MAKE_DIRECTORY ${dir})
  set(rcText "")
  set(bins)
  foreach(form ${ARGN})
    get_filename_component(stem ${form} NAME_WE)
    string(TOUPPER ${stem} upper)
    set(bin ${dir}/${stem}.form.bin)
    add_custom_command(
      OUTPUT ${bin}
      COMMAND ${tool} ${form} ${bin} ${stem}
      DEPENDS ${form} ${tool} kestrum_form_host_tool
      COMMENT "Compiling form ${stem} for ${target}"
      VERBATIM)
    string(APPEND rcText "TZQ${upper} RCDATA \"${bin}\"\n")
    list(APPEND bins ${bin})
  endforeach()
  set(rc ${dir}/forms.rc)
  set(obj ${dir}/forms.res.obj)
  file(CONFIGURE OUTPUT ${rc} CONTENT "${rcText}")
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${obj}
    DEPENDS ${rc} ${bins}
    VERBATIM)
  set_source_files_properties(${obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${obj})
endfunction()
