# What an installation holds and how ./ribex.sh package ships it:
#   bin/       ribex.exe, the tools, ribexclient.dll        (component server)
#   include/, lib/, lib/cmake/ribex/, examples/             (component sdk)
#   driver/    vcan.sys and the test-signing steps           (component driver)
# CPack makes a 64-bit NSIS installer (project template cmake/NSIS.template.in)
# and a portable zip of the same tree.

install(TARGETS ribex RUNTIME DESTINATION bin COMPONENT server)

# Every tool: the executable named like its folder under SRC/WIN32/TOOLS.
file(GLOB tool_dirs LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/SRC/WIN32/TOOLS/*)
foreach(dir ${tool_dirs})
  get_filename_component(tool ${dir} NAME)
  if(TARGET ${tool})
    get_target_property(type ${tool} TYPE)
    if(type STREQUAL "EXECUTABLE")
      install(TARGETS ${tool} RUNTIME DESTINATION bin COMPONENT server)
    endif()
  endif()
endforeach()

install(FILES README.md DESTINATION . COMPONENT server)
install(DIRECTORY examples/ DESTINATION examples COMPONENT sdk)

set(CPACK_PACKAGE_NAME ribex)
set(CPACK_PACKAGE_VENDOR ribex)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ribex: CAN frames for every client process on the machine")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY ribex)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ribex)
set(CPACK_PACKAGE_FILE_NAME ribex-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake)
# Values reach the NSIS script as written here.
set(CPACK_VERBATIM_VARIABLES ON)

# Components: the NSIS installer offers them; the zip holds everything.
set(CPACK_COMPONENTS_ALL server sdk driver)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENT_SERVER_DISPLAY_NAME "Server and tools")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "ribex.exe, ribexclient.dll and the tools candump, canpeer, traceview and msgqtool.")
set(CPACK_COMPONENT_SDK_DISPLAY_NAME "Client SDK")
set(CPACK_COMPONENT_SDK_DESCRIPTION
    "Headers, import library, CMake package (find_package(ribex) gives ribex::client), examples.")
set(CPACK_COMPONENT_SDK_DEPENDS server)
set(CPACK_COMPONENT_DRIVER_DISPLAY_NAME "Virtual CAN driver (optional)")
set(CPACK_COMPONENT_DRIVER_DESCRIPTION
    "vcan.sys and its service vcan (devices VCAN1..VCAN4). Windows loads it only in \
test-signing mode: see driver\\WINDOWS_TEST_SIGNING.md.")
set(CPACK_COMPONENT_DRIVER_DISABLED TRUE)

set(CPACK_NSIS_PACKAGE_NAME "ribex ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "ribex ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)
set(CPACK_NSIS_COMPRESSOR lzma)
set(CPACK_STRIP_FILES ON)
# A console in the tools' folder, and the README, from the Start menu.
set(CPACK_NSIS_CREATE_ICONS_EXTRA [=[
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\ribex console.lnk" "$SYSDIR\cmd.exe" \
    '/k cd /d "$INSTDIR\bin"'
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\ribex README.lnk" "$INSTDIR\README.md"
]=])
set(CPACK_NSIS_DELETE_ICONS_EXTRA [=[
  Delete "$SMPROGRAMS\$MUI_TEMP\ribex console.lnk"
  Delete "$SMPROGRAMS\$MUI_TEMP\ribex README.lnk"
]=])
include(${PROJECT_SOURCE_DIR}/cmake/ribex_package_driver.cmake)
# The server ends by itself a few seconds after its last client: give it
# that long before its files go (Windows cannot delete a running program).
set(RIBEX_NSIS_WAIT_FOR_SERVER [=[
  StrCpy $2 0
  ribex_wait_server:
    ClearErrors
    Delete "$INSTDIR\bin\ribex.exe"
    IfErrors 0 ribex_server_gone
    IntOp $2 $2 + 1
    IntCmp $2 30 ribex_server_gone
    Sleep 500
    Goto ribex_wait_server
  ribex_server_gone:
]=])
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
    "${RIBEX_NSIS_WAIT_FOR_SERVER}${CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS}")

include(CPack)
