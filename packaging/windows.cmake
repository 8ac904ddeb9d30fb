# The Windows package: the programs with the Qt libraries, the plugins Qt
# loads at run time and the MinGW-w64 runtime beside them in one folder, as a
# .zip and as an installer (NSIS) with a Start menu entry and an uninstaller.
# Made by `cpack -G "ZIP;NSIS"` in a Windows build (scripts/package.sh).

set(_bin ${CMAKE_INSTALL_BINDIR})

# Qt's libraries and plugins, wherever the Qt found for this build lives.
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets> $<TARGET_FILE:Qt6::Sql>
        DESTINATION ${_bin})
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION ${_bin}/platforms)
# The state database: Qt's SQLite driver, with SQLite built into it.
install(FILES $<TARGET_FILE:Qt6::QSQLiteDriverPlugin> DESTINATION ${_bin}/sqldrivers)
if(TARGET Qt6::QWindowsVistaStylePlugin)
    install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION ${_bin}/styles)
endif()

# The compiler's own runtime: asked of the compiler, so it is the one the
# programs were linked against.
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
        message(FATAL_ERROR "${_dll} not found beside ${CMAKE_CXX_COMPILER}")
    endif()
    install(FILES ${_path} DESTINATION ${_bin})
endforeach()

install(FILES copyright DESTINATION . RENAME copyright.txt)

set(CPACK_GENERATOR "ZIP;NSIS")
set(CPACK_PACKAGE_NAME ${_program})
set(CPACK_PACKAGE_VENDOR "Quorvi")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Quorvi Charging Hubs")
set(CPACK_PACKAGE_FILE_NAME ${_program}-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Quorvi Hub Updater")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "QuorviHubUpdater")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/copyright)
# Start menu: the updater and the demo; the command line runs from a terminal.
set(CPACK_PACKAGE_EXECUTABLES
    quorvi-hub-updater "Quorvi Hub Updater"
    quorvi-hub-updater-demo "Quorvi Hub Updater (demo)")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ${_bin})
set(CPACK_NSIS_INSTALLED_ICON_NAME ${_bin}\\\\quorvi-hub-updater.exe)
set(CPACK_NSIS_DISPLAY_NAME "Quorvi Hub Updater")
set(CPACK_NSIS_PACKAGE_NAME "Quorvi Hub Updater ${PROJECT_VERSION}")
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/icon/icon.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/icon/icon.ico)
set(CPACK_NSIS_URL_INFO_ABOUT "https://www.quorvi.com/hub-updater/")
set(CPACK_NSIS_CONTACT ${QUORVI_PACKAGE_MAINTAINER})
set(CPACK_NSIS_MODIFY_PATH OFF)
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A 64-bit installer for 64-bit programs: it installs under the 64-bit
# "Program Files" and runs where no 32-bit subsystem is (Debian's wine64 alone).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_STRIP_FILES ON)
include(CPack)
