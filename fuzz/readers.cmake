# Fuzz targets of the fieldfx program's readers: Y4M, PNG, --set values,
# output names with join's arguments, and a library's exports.
if(TARGET fieldfx_cli)
  foreach(reader y4m png setting names elf)
    add_executable(fuzz_${reader} ${CMAKE_CURRENT_SOURCE_DIR}/${reader}_fuzz.cpp)
    target_link_libraries(fuzz_${reader} PRIVATE fieldfx_cli)
    target_compile_definitions(fuzz_${reader} PRIVATE FIELDFX_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
    target_link_options(fuzz_${reader} PRIVATE -fsanitize=fuzzer)
  endforeach()
  add_dependencies(fuzz_setting ${fieldfx_operators})
endif()
