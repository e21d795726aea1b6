# Native build: tools, unit tests (one GoogleTest program per layer folder under tests/unit),
# and the benchmark helpers.
find_package(GTest REQUIRED)
include(GoogleTest)

# A tool is tools/<name>/main.cpp; its other sources form <name>-core, which the unit tests
# link too so the tool's logic is tested without running it.
set(VANTREL_TOOL_CORES "")
file(GLOB tool_dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tools/*)
foreach(dir IN LISTS tool_dirs)
  if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/main.cpp)
    get_filename_component(tool ${dir} NAME)
    vantrel_sources(tool_sources ${dir})
    list(REMOVE_ITEM tool_sources ${dir}/main.cpp)
    add_executable(${tool} ${dir}/main.cpp)
    if(tool_sources)
      add_library(${tool}-core STATIC ${tool_sources})
      target_link_libraries(${tool}-core PUBLIC vantrel_all)
      target_include_directories(${tool}-core PUBLIC ${CMAKE_SOURCE_DIR}/tools)
      target_link_libraries(${tool} PRIVATE ${tool}-core)
      list(APPEND VANTREL_TOOL_CORES ${tool}-core)
    else()
      target_link_libraries(${tool} PRIVATE vantrel_all)
    endif()
  endif()
endforeach()
# realm-site serves with libmicrohttpd (Debian's, built with GnuTLS for --tls-cert).
find_package(PkgConfig REQUIRED)
pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET libmicrohttpd)
# The report console: its index in SQLite, stored archives read with libzip.
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
if(TARGET realm-site-core)
  target_link_libraries(realm-site-core PUBLIC PkgConfig::MICROHTTPD PkgConfig::SQLITE3 PkgConfig::LIBZIP)
endif()

file(GLOB unit_dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/unit/*)
foreach(dir IN LISTS unit_dirs)
  if(IS_DIRECTORY ${dir})
    get_filename_component(area ${dir} NAME)
    vantrel_sources(test_sources ${dir})
    if(test_sources)
      add_executable(unit_${area} ${test_sources})
      target_link_libraries(unit_${area} PRIVATE vantrel_all ${VANTREL_TOOL_CORES} GTest::gtest_main)
      # The tests' own loopback servers and clients; no product links it.
      target_compile_definitions(unit_${area} PRIVATE
        CPPHTTPLIB_OPENSSL_SUPPORT CPPHTTPLIB_ZLIB_SUPPORT CPPHTTPLIB_BROTLI_SUPPORT)
      target_link_libraries(unit_${area} PRIVATE cpp-httplib)
      target_include_directories(unit_${area} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
      target_compile_definitions(unit_${area} PRIVATE
        VANTREL_BINARY_DIR="${CMAKE_BINARY_DIR}" VANTREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
      gtest_discover_tests(unit_${area} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 300)
    endif()
  endif()
endforeach()

vantrel_sources(bench_sources ${CMAKE_SOURCE_DIR}/bench)
foreach(src IN LISTS bench_sources)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE vantrel_all)
endforeach()
# The console bench drives realm-site's index in process and its pages over HTTP.
if(TARGET console_bench AND TARGET realm-site-core)
  target_link_libraries(console_bench PRIVATE realm-site-core cpp-httplib)
  target_include_directories(console_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
endif()
