# canlog against python-can and canmatrix: a host script, so that Debian's
# python3-can runs natively and drives canlog under the build's Wine.
if(RIBEX_WINEPREFIX AND MINGW AND EXISTS /usr/bin/python3)
  add_test(NAME canlog_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/canlog_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  set_tests_properties(canlog_test PROPERTIES TIMEOUT 900)
endif()
