# fieldfx_add_operator(<Name> SOURCES <files…> LINKS <host libraries…> [EXPORTS <map>])
#
# Builds lib<Name>.so: one operator, with the shared modules it uses compiled
# in, exporting only GetOperatorInfo and OperatorAction (or what the version
# script EXPORTS names, for an operator with an optional export), and linked
# by name against the host libraries it imports.
function(fieldfx_add_operator name)
  cmake_parse_arguments(OP "" "EXPORTS" "SOURCES;LINKS" ${ARGN})
  if(NOT OP_EXPORTS)
    set(OP_EXPORTS ${PROJECT_SOURCE_DIR}/cmake/operator-exports.map)
  endif()
  add_library(${name} SHARED ${OP_SOURCES})
  target_include_directories(${name} PRIVATE ${FIELDFX_OPS_INCLUDE} ${FIELDFX_OPS_COMMON})
  target_link_libraries(${name} PRIVATE ${OP_LINKS})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN:$ORIGIN/.."
    LINK_DEPENDS ${OP_EXPORTS})
  # Installed in lib/fieldfx/, beside the host libraries' lib/.
  install(TARGETS ${name} LIBRARY DESTINATION lib/fieldfx)
  target_link_options(${name} PRIVATE
    "LINKER:--version-script=${OP_EXPORTS}"
    "LINKER:--as-needed")
  if(NOT FIELDFX_SANITIZE)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
  set_property(GLOBAL APPEND PROPERTY FIELDFX_OPERATORS ${name})
endfunction()
