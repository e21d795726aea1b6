# libFuzzer targets: one program per file in tests/fuzz.
file(GLOB fuzz_sources ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
foreach(src IN LISTS fuzz_sources)
  get_filename_component(name ${src} NAME_WE)
  add_executable(fuzz_${name} ${src})
  target_link_libraries(fuzz_${name} PRIVATE vantrel_all)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endforeach()
