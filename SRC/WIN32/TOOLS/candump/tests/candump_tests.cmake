# candump: its line arithmetic, and the tool run as a user runs it.
ribex_add_gtest(candump_line_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/candump_line_test.cpp
  LIBS candump_line
  TIMEOUT 60)

if(TARGET registry_e2e)
  ribex_add_gtest(candump_process_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/candump_process_test.cpp
    LIBS registry_e2e
    DEPENDS candump ribex registry_client
    TIMEOUT 180)
  set_tests_properties(candump_process_test PROPERTIES RESOURCE_LOCK ribexserver)
endif()

# Logs shared with python-can: a host script, so that Debian's python3-can
# runs natively and drives candump, canpeer and the server under the
# build's Wine.
if(RIBEX_WINEPREFIX AND MINGW AND EXISTS /usr/bin/python3)
  add_executable(log_test_service ${CMAKE_CURRENT_LIST_DIR}/log_test_service.cpp)
  target_link_libraries(log_test_service PRIVATE vcan_control)
  target_link_options(log_test_service PRIVATE -municode)
  add_test(NAME candump_log_interop_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/log_interop_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                   ${RIBEX_WINEPREFIX})
  set_tests_properties(candump_log_interop_test PROPERTIES
    TIMEOUT 300 RESOURCE_LOCK "ribexserver;vcanservice" FIXTURES_REQUIRED vcan_driver)
endif()

# Signals shared with canmatrix: candump -d and -j on a simulated net, every
# decoded line compared with canmatrix's decode of the same bytes.
if(RIBEX_WINEPREFIX AND MINGW AND EXISTS /usr/bin/python3)
  add_test(NAME candump_signals_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/signals_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                   ${RIBEX_WINEPREFIX})
  set_tests_properties(candump_signals_test PROPERTIES TIMEOUT 300 RESOURCE_LOCK ribexserver)
endif()
