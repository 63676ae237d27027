# make dist: a folder and a zip for a Windows machine, in build/win32/dist:
# ZEVURUZI.DLL, zevmon.exe, the two .reg files and README.TXT (CRLF line ends,
# as the Windows 95/98/Me Registry Editor and Notepad expect). The version
# comes from resources/string_table.h, as the binaries' version records do.
file(STRINGS ${CMAKE_SOURCE_DIR}/resources/string_table.h version_line REGEX "^#define MONITOR_VERSION_NUMBERS ")
string(REGEX REPLACE "^#define MONITOR_VERSION_NUMBERS +([0-9]+), *([0-9]+), *([0-9]+), *([0-9]+).*$"
    "\\1.\\2.\\3.\\4" ZEV_VERSION "${version_line}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/string_table.h)

set(DIST_NAME zevuruzi-${ZEV_VERSION})
set(DIST_ROOT ${CMAKE_BINARY_DIR}/dist)
set(DIST_DIR ${DIST_ROOT}/${DIST_NAME})
set(DIST_ZIP ${DIST_ROOT}/${DIST_NAME}.zip)
set(DIST_TEXTS ${CMAKE_BINARY_DIR}/dist_texts)
set(DIST_TEXT_FILES)
foreach(text README.TXT install.reg uninstall.reg)
    configure_file(${CMAKE_SOURCE_DIR}/resources/dist/${text}.in ${DIST_TEXTS}/${text} @ONLY NEWLINE_STYLE CRLF)
    list(APPEND DIST_TEXT_FILES ${DIST_TEXTS}/${text})
endforeach()

add_custom_command(
    OUTPUT ${DIST_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${DIST_DIR} ${DIST_ZIP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zevuruzi> ${DIST_DIR}/ZEVURUZI.DLL
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zevmon_exe> ${DIST_DIR}/zevmon.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${DIST_TEXT_FILES} ${DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E chdir ${DIST_ROOT} ${CMAKE_COMMAND} -E tar cf ${DIST_ZIP} --format=zip ${DIST_NAME}
    DEPENDS zevuruzi zevmon_exe ${DIST_TEXT_FILES}
    COMMENT "Package ${DIST_NAME}.zip")
# Part of every build, so that the tests below always see the current package.
add_custom_target(dist ALL DEPENDS ${DIST_ZIP})

add_test(NAME dist.contents
    COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/check-dist.sh ${DIST_ZIP} $<TARGET_FILE:zevuruzi> $<TARGET_FILE:zevmon_exe>)
