# Windows builds: the launcher exe (resources linked in), the win32 seam tests that ctest
# runs under Wine, and the small Windows helpers that the end-to-end tests use.
enable_language(RC)
find_package(GTest REQUIRED)

configure_file(${CMAKE_SOURCE_DIR}/resources/launcher.manifest.in
               ${CMAKE_BINARY_DIR}/launcher.manifest @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/launcher.rc.in ${CMAKE_BINARY_DIR}/launcher.rc @ONLY)

add_executable(VantrelLauncher WIN32 ${CMAKE_SOURCE_DIR}/src/main_win32.cpp ${CMAKE_BINARY_DIR}/launcher.rc)
target_link_libraries(VantrelLauncher PRIVATE vantrel_all)
target_link_options(VantrelLauncher PRIVATE -municode)
set_target_properties(VantrelLauncher PROPERTIES OUTPUT_NAME VantrelLauncher)

vantrel_sources(seam_test_sources ${CMAKE_SOURCE_DIR}/tests/wine)
if(seam_test_sources)
  add_executable(wine_seam_tests ${seam_test_sources})
  target_link_libraries(wine_seam_tests PRIVATE vantrel_all GTest::gtest_main)
  target_include_directories(wine_seam_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME wine_seam_tests COMMAND wine_seam_tests)
  set_tests_properties(wine_seam_tests PROPERTIES TIMEOUT 600)
endif()

file(GLOB win_tools ${CMAKE_SOURCE_DIR}/tests/win-tools/*.cpp)
foreach(src IN LISTS win_tools)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_options(${name} PRIVATE -municode)
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE)
  target_link_libraries(${name} PRIVATE user32 kernel32)
endforeach()

# The bare programs that the Wine benchmark measures the launcher against: the same Windows
# calls as the launcher's loops and nothing else (bench/<name>_win32.cpp gives <name>.exe).
file(GLOB bench_tools ${CMAKE_SOURCE_DIR}/bench/*_win32.cpp)
foreach(src IN LISTS bench_tools)
  get_filename_component(name ${src} NAME_WE)
  string(REGEX REPLACE "_win32$" "" name ${name})
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_options(${name} PRIVATE -municode)
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE)
  target_link_libraries(${name} PRIVATE winhttp user32 kernel32)
endforeach()

# The block-map chunking speed, measured under Wine with the product's own code.
add_executable(chunk_speed ${CMAKE_SOURCE_DIR}/bench/chunk_speed.cpp)
target_link_libraries(chunk_speed PRIVATE vantrel_all)
