# canmon: its statistics and lines in one process; the tool as a user runs
# it against known traffic on the virtual driver; the console under tmux.
ribex_add_gtest(canmon_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/canmon_core_test.cpp ${CMAKE_CURRENT_LIST_DIR}/../canmon_console.cpp
  LIBS canmon_core
  TIMEOUT 60)

if(TARGET registry_e2e AND MINGW)
  ribex_add_gtest(canmon_process_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/canmon_process_test.cpp
    LIBS registry_e2e ribexclient
    DEPENDS canmon candump canpeer ribex vcan
    TIMEOUT 240)
  set_tests_properties(canmon_process_test PROPERTIES
    RESOURCE_LOCK ribexserver FIXTURES_REQUIRED vcan_driver)
endif()

if(MINGW)
  add_test(NAME canmon_console_test
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/canmon_console_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(canmon_console_test PROPERTIES
    TIMEOUT 240 RESOURCE_LOCK ribexserver FIXTURES_REQUIRED vcan_driver)
endif()
