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
