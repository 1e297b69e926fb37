# Tests of the net registry, the remote-frame requests and the request
# handlers: in-process against real receive threads, and end to end with
# ribex.exe and client processes on our client library.
if(TARGET ribex_registry)
  ribex_add_gtest(ribex_registry_inproc_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_inproc_test.cpp
    LIBS ribex_registry
    TIMEOUT 120)

  if(EXISTS ${PROJECT_SOURCE_DIR}/SRC/WIN32/TOOLS/ribexclient/CMakeLists.txt AND TARGET ribex)
    add_executable(registry_client ${CMAKE_CURRENT_LIST_DIR}/registry_client.cpp)
    target_link_libraries(registry_client PRIVATE ribexclient)
    target_link_options(registry_client PRIVATE -municode)

    add_library(registry_e2e STATIC ${CMAKE_CURRENT_LIST_DIR}/registry_e2e.cpp)
    target_include_directories(registry_e2e PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(registry_e2e PUBLIC ribex_testsupport ribex_names msgq trace)

    ribex_add_gtest(ribex_e2e_clients_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_e2e_clients_test.cpp
      LIBS registry_e2e
      DEPENDS ribex registry_client
      TIMEOUT 240)
    set_tests_properties(ribex_e2e_clients_test PROPERTIES RESOURCE_LOCK ribexserver)

    ribex_add_gtest(ribex_e2e_wire_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_e2e_wire_test.cpp
      LIBS registry_e2e
      DEPENDS ribex
      TIMEOUT 240)
    set_tests_properties(ribex_e2e_wire_test PROPERTIES RESOURCE_LOCK "ribexserver;tracebuffer")
  endif()
endif()

# A device net on the virtual CAN driver, loaded by the vcan_driver fixture.
if(TARGET ribex_registry AND TARGET registry_client AND MINGW
   AND EXISTS ${PROJECT_SOURCE_DIR}/SRC/WIN32/TOOLS/vcan/CMakeLists.txt)
  ribex_add_gtest(ribex_e2e_device_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_e2e_device_test.cpp
    LIBS registry_e2e
    DEPENDS ribex registry_client vcan
    TIMEOUT 180)
  set_tests_properties(ribex_e2e_device_test PROPERTIES
    RESOURCE_LOCK ribexserver FIXTURES_REQUIRED vcan_driver)
endif()
