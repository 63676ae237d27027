# The real DLL, ZEVURUZI.DLL (PE32, i686), and the programs that prove it under Wine.
enable_language(RC)

# InitCommonControls is imported from COMCTL32 by ordinal 17, as Windows 95 exports it.
set(COMCTL32_ORDINAL_LIB ${CMAKE_BINARY_DIR}/libcomctl32_ordinal.a)
add_custom_command(
    OUTPUT ${COMCTL32_ORDINAL_LIB}
    COMMAND ${CMAKE_DLLTOOL} -k -d ${CMAKE_SOURCE_DIR}/monitor/comctl32_ordinal.def -l ${COMCTL32_ORDINAL_LIB}
    DEPENDS ${CMAKE_SOURCE_DIR}/monitor/comctl32_ordinal.def
    COMMENT "Import library for COMCTL32 by ordinal")
add_custom_target(comctl32_ordinal DEPENDS ${COMCTL32_ORDINAL_LIB})

add_library(zevuruzi SHARED
    ${MONITOR_SOURCES}
    monitor/freestanding.cpp
    monitor/zevuruzi.def
    resources/zevuruzi.rc)
add_dependencies(zevuruzi comctl32_ordinal)
set_target_properties(zevuruzi PROPERTIES
    PREFIX ""
    OUTPUT_NAME ZEVURUZI
    SUFFIX ".DLL"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(zevuruzi PRIVATE ${CMAKE_SOURCE_DIR}/resources)
# No C or C++ runtime: no exceptions, no RTTI, no guarded statics, and the
# compiler may not turn loops into calls of a library it will not find.
target_compile_options(zevuruzi PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${WARNINGS} -O2 -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-tree-loop-distribute-patterns -ffreestanding -fno-stack-protector>)
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")
target_link_options(zevuruzi PRIVATE
    -nostdlib -s
    -Wl,--kill-at
    -Wl,-e,_DllEntryPoint@12
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--disable-dynamicbase -Wl,--disable-nxcompat)
target_link_libraries(zevuruzi PRIVATE
    ${COMCTL32_ORDINAL_LIB} kernel32 user32 advapi32 setupapi winspool comdlg32 gcc)

# The DLL's exports, imports, entry point and resources, read from the file itself.
add_test(NAME dll.rules
    COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/check-dll-rules.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:zevuruzi>)

# Every import of the shipped binaries is one that the oldest system they must
# run on exports, by the documented list beside the check: Windows 98 for the
# DLL (for SetupAPI's device functions), Windows 95 for zevmon.exe.
set(WIN9X_IMPORTS ${CMAKE_SOURCE_DIR}/tests/wine/win9x-imports.txt)
set(CHECK_WIN9X_IMPORTS ${CMAKE_SOURCE_DIR}/tests/wine/check-win9x-imports.sh)
add_test(NAME dll.win9x_imports
    COMMAND ${CHECK_WIN9X_IMPORTS} ${CMAKE_OBJDUMP} ${WIN9X_IMPORTS} 98 $<TARGET_FILE:zevuruzi>)

add_subdirectory(errors)
add_subdirectory(codepage)
add_subdirectory(tools/zevmon)
include(cmake/dist.cmake)
add_subdirectory(tests/wine)
add_subdirectory(docs/screenshot)
