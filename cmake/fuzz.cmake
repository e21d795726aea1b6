# libFuzzer targets: one program per file in tests/fuzz. realm-site's readers of uploaded
# crash data are pure functions, built here on their own.
add_library(realm-site-readers STATIC
  ${CMAKE_SOURCE_DIR}/tools/realm-site/wer_report.cpp
  ${CMAKE_SOURCE_DIR}/tools/realm-site/minidump.cpp
  ${CMAKE_SOURCE_DIR}/tools/realm-site/crash_signature.cpp)
target_link_libraries(realm-site-readers PUBLIC vantrel_all)
target_include_directories(realm-site-readers PUBLIC ${CMAKE_SOURCE_DIR}/tools)
file(GLOB fuzz_sources ${CMAKE_SOURCE_DIR}/tests/fuzz/*.cpp)
foreach(src IN LISTS fuzz_sources)
  get_filename_component(name ${src} NAME_WE)
  add_executable(fuzz_${name} ${src})
  target_link_libraries(fuzz_${name} PRIVATE vantrel_all realm-site-readers)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endforeach()
