# make demo builds and runs the zevmon a user runs: optimised, without sanitizers.
# cmake -DROOT=<source folder> -P demo_build_test.cmake
execute_process(COMMAND make -n demo WORKING_DIRECTORY ${ROOT} OUTPUT_VARIABLE commands)
string(REGEX MATCH "cmake --build --preset ([a-z0-9]+)" built "${commands}")
file(READ ${ROOT}/CMakePresets.json presets)
string(JSON count LENGTH "${presets}" configurePresets)
foreach(i RANGE ${count})
    string(JSON name ERROR_VARIABLE none GET "${presets}" configurePresets ${i} name)
    if(name STREQUAL CMAKE_MATCH_1)
        string(JSON variables GET "${presets}" configurePresets ${i} cacheVariables)
    endif()
endforeach()
if(NOT variables MATCHES "\"Release\"" OR NOT variables MATCHES "\"ZEV_SANITIZE\" : \"\""
   OR NOT commands MATCHES "build/${CMAKE_MATCH_1}/tools/zevmon/zevmon demo")
    message(FATAL_ERROR "make demo runs a zevmon built with ${variables}:\n${commands}")
endif()
