# ribexcand: its protocol text, and the server as python-can (Debian's
# python3-can, on the Linux side) sees it over loopback TCP.
ribex_add_gtest(rcd_protocol_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rcd_protocol_test.cpp ${CMAKE_CURRENT_LIST_DIR}/rcd_echo_test.cpp
  LIBS ribexcand_core
  TIMEOUT 60)

# A host script: it runs outside the emulator and starts ribexcand, the
# server, canpeer and candump under the build's Wine itself.
find_program(RIBEX_HOST_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(RIBEX_HOST_PYTHON3 AND RIBEX_WINEPREFIX)
  add_test(NAME ribexcand_python_can_test
           COMMAND ${RIBEX_HOST_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/ribexcand_python_can_test.py
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/SRC/WIN32/DRIVER/vcan/vcan_service.sh)
  # Its own driver service needs a prefix whose service manager the driver
  # fixture has checked; the server's instance marker is machine-wide: one
  # server test at a time.
  set_tests_properties(ribexcand_python_can_test PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED vcan_driver
    RESOURCE_LOCK ribexserver)
endif()
