# The host build: the same monitor sources over the simulated Windows machine,
# with the unit tests, fuzzers, benchmarks and the zevmon tool.
set(ZEV_SANITIZE "address,undefined" CACHE STRING "Sanitizers for the host build (empty for none)")
option(ZEV_FUZZ "Build only the libFuzzer targets (needs clang)" OFF)
option(ZEV_TSAN "Build only the concurrency tests, under ThreadSanitizer" OFF)
if(ZEV_TSAN)
    set(ZEV_SANITIZE "thread")
endif()
if(ZEV_FUZZ)
    # Everything is instrumented for coverage; only the fuzz targets link libFuzzer's main.
    set(ZEV_SANITIZE "address,undefined,fuzzer-no-link")
endif()
if(ZEV_SANITIZE)
    add_compile_options(-fsanitize=${ZEV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${ZEV_SANITIZE})
endif()

add_subdirectory(errors)
add_subdirectory(codepage)

add_library(sim STATIC
    sim/machine.cpp
    sim/registry.cpp
    sim/kernel32.cpp
    sim/advapi32.cpp
    sim/user32.cpp
    sim/comctl32.cpp
    sim/comdlg32.cpp
    sim/winspool.cpp
    sim/spooler.cpp
    sim/spool_folder.cpp
    sim/spooler_calls.cpp
    sim/usbprint.cpp
    sim/setupapi.cpp)
target_include_directories(sim PUBLIC ${CMAKE_SOURCE_DIR}/sim/include ${CMAKE_SOURCE_DIR})
target_compile_options(sim PRIVATE ${WARNINGS})
find_package(Threads REQUIRED)
find_package(nlohmann_json REQUIRED)
target_link_libraries(sim PUBLIC Threads::Threads PRIVATE code_page error_names nlohmann_json::nlohmann_json)

add_library(zevuruzi_host STATIC ${MONITOR_SOURCES} host/zevuruzi_module.cpp)
target_link_libraries(zevuruzi_host PUBLIC sim)
# The monitor is built as it is for the DLL: no exceptions, no RTTI.
target_compile_options(zevuruzi_host PRIVATE ${WARNINGS})
set_source_files_properties(${MONITOR_SOURCES} PROPERTIES COMPILE_OPTIONS "-fno-exceptions;-fno-rtti")

if(ZEV_FUZZ)
    add_subdirectory(fuzz)
elseif(ZEV_TSAN)
    add_subdirectory(tests/concurrency)
else()
    add_subdirectory(tests/unit)
    add_subdirectory(tests/faults)
    add_subdirectory(tests/concurrency)
    add_subdirectory(tools/zevmon)
    add_subdirectory(tests/zevmon)
    add_subdirectory(bench)
    add_test(NAME scripts.install_deps COMMAND bash ${CMAKE_SOURCE_DIR}/tests/scripts/install_deps_test.sh)
    add_test(NAME scripts.wine_runner COMMAND bash ${CMAKE_SOURCE_DIR}/tests/scripts/wine_runner_test.sh)
endif()
