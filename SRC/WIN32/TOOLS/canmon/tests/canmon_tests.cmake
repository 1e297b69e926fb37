# canmon: its statistics and lines in one process; the tool as a user runs
# it against known traffic on the virtual driver; the console under tmux.
ribex_add_gtest(canmon_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/canmon_core_test.cpp ${CMAKE_CURRENT_LIST_DIR}/../canmon_console.cpp
  LIBS canmon_core
  TIMEOUT 60)
