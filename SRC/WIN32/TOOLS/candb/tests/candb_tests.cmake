# candb's own cases under Wine; the canmatrix oracle test is host-side.
ribex_add_gtest(candb_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/candb_test.cpp
  LIBS candb
  TIMEOUT 60)

# canmatrix writes the databases and decodes the same payloads: both must agree.
add_executable(candb_decode ${CMAKE_CURRENT_LIST_DIR}/candb_decode.cpp)
target_link_libraries(candb_decode PRIVATE candb)
if(RIBEX_WINEPREFIX AND MINGW AND EXISTS /usr/bin/python3)
  add_test(NAME candb_canmatrix_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/candb_canmatrix_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  set_tests_properties(candb_canmatrix_test PROPERTIES TIMEOUT 300)
endif()

# candb encodes and canmatrix decodes, and the other way round: both must agree.
add_executable(candb_encode ${CMAKE_CURRENT_LIST_DIR}/candb_encode.cpp)
target_link_libraries(candb_encode PRIVATE candb)
if(RIBEX_WINEPREFIX AND MINGW AND EXISTS /usr/bin/python3)
  add_test(NAME candb_encode_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/candb_encode_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  set_tests_properties(candb_encode_test PROPERTIES TIMEOUT 300)
endif()
