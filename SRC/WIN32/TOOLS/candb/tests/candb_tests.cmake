# candb's own cases under Wine; the canmatrix oracle test is host-side.
ribex_add_gtest(candb_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/candb_test.cpp
  LIBS candb
  TIMEOUT 60)
