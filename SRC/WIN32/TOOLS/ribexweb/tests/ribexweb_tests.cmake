# ribexweb: its histories in-process, and the tool driven from the host:
# the JSON API over TCP, and the page in a real browser (Debian's chromium
# through selenium).
ribex_add_gtest(ribexweb_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ribexweb_core_test.cpp
  LIBS ribexweb_core
  TIMEOUT 60)

if(RIBEX_WINEPREFIX AND MINGW AND EXISTS /usr/bin/python3)
  add_test(NAME ribexweb_api_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ribexweb_api_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                   ${RIBEX_WINEPREFIX})
  set_tests_properties(ribexweb_api_test PROPERTIES TIMEOUT 300 RESOURCE_LOCK ribexserver)
  add_test(NAME ribexweb_page_test
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/ribexweb_page_test.py
                   ${CMAKE_BINARY_DIR}/wine-run.sh ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                   ${RIBEX_WINEPREFIX} ${CMAKE_BINARY_DIR}/ribexweb-page.png)
  set_tests_properties(ribexweb_page_test PROPERTIES TIMEOUT 300 RESOURCE_LOCK ribexserver)
endif()
