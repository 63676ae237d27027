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

add_subdirectory(tests/wine)

# zevmon.exe: the tool on Windows, against the real DLL. Its header-only
# libraries come from the build machine's Debian packages, seen through a
# folder of their own so that no other host header reaches the cross-compiler.
set(ZEVMON_THIRD_PARTY ${CMAKE_BINARY_DIR}/third_party_include)
foreach(library fmt CLI nlohmann)
    if(NOT EXISTS /usr/include/${library})
        message(FATAL_ERROR "/usr/include/${library} is missing: run scripts/install-deps.sh host")
    endif()
    file(MAKE_DIRECTORY ${ZEVMON_THIRD_PARTY})
    file(CREATE_LINK /usr/include/${library} ${ZEVMON_THIRD_PARTY}/${library} SYMBOLIC)
endforeach()

# zevmon.exe has to start on Windows 95, 98 and Me. The C++ runtime and
# libgcc are linked in; the printf family comes from mingw-w64's own library,
# since the msvcrt.dll of those systems (that of Visual C++ 6.0) knows neither
# %zu nor %llu; tools/zevmon/win9x_runtime.cpp gives the runtime's objects the
# few calls those systems lack; and CLI11 checks paths with stat() instead of
# std::filesystem, which imports functions of Windows 2000 and later.
add_executable(zevmon_exe
    tools/zevmon/win32_main.cpp
    tools/zevmon/commands.cpp
    tools/zevmon/spooler.cpp
    tools/zevmon/terminal.cpp
    tools/zevmon/win9x_runtime.cpp
    sim/errors.cpp)
set_target_properties(zevmon_exe PROPERTIES OUTPUT_NAME zevmon RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(zevmon_exe PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(zevmon_exe SYSTEM PRIVATE ${ZEVMON_THIRD_PARTY})
target_compile_definitions(zevmon_exe PRIVATE FMT_HEADER_ONLY CLI11_HAS_FILESYSTEM=0 __USE_MINGW_ANSI_STDIO=1)
target_compile_options(zevmon_exe PRIVATE ${WARNINGS} -O2)
target_link_options(zevmon_exe PRIVATE
    -static -static-libgcc -static-libstdc++ -s
    -Wl,--subsystem,console:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0)
target_link_libraries(zevmon_exe PRIVATE winspool user32 kernel32)
add_test(NAME zevmon_exe.win9x_imports
    COMMAND ${CHECK_WIN9X_IMPORTS} ${CMAKE_OBJDUMP} ${WIN9X_IMPORTS} 95 $<TARGET_FILE:zevmon_exe>)
