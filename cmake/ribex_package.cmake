# What an installation holds and how ./ribex.sh package ships it:
#   bin/       ribex.exe, the tools, ribexclient.dll        (component server)
#   include/, lib/, lib/cmake/ribex/, examples/             (component sdk)
#   driver/    vcan.sys and the test-signing steps           (component driver)
# CPack makes a 64-bit NSIS installer from our own script cmake/NSIS.template.in
# (found through CPACK_MODULE_PATH; the driver's service, shortcuts, registry
# and uninstall are there) and a portable zip of the same tree.

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
# Values reach the NSIS script as written here (backslashes and all).
set(CPACK_VERBATIM_VARIABLES ON)

# Components: the NSIS installer offers them; the zip holds everything.
set(CPACK_COMPONENTS_ALL server sdk driver)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENT_SERVER_DISPLAY_NAME "Server and tools")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "ribex.exe, ribexclient.dll and the tools: candump, canlog, canmon, canpeer, canslcan, \
ribexcand, ribexstress, ribexweb, traceview, msgqtool.")
# The server is required: the SDK's import library and the driver serve it.
set(CPACK_COMPONENT_SERVER_REQUIRED TRUE)
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
set(CPACK_NSIS_COMPRESSOR lzma)
set(CPACK_STRIP_FILES ON)

include(CPack)
