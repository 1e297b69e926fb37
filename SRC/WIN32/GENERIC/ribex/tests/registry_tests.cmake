# The net registry, the remote-frame requests and the request handlers:
# end to end with ribex.exe, client processes on our client library
# (registry_client) and hand-made requests; in process only where a
# receive thread must die without its clean-up.
if(TARGET ribex_registry)
  ribex_add_gtest(ribex_registry_inproc_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_inproc_test.cpp
    LIBS ribex_registry
    TIMEOUT 60)
  # Reads the machine-wide trace ring: one such test at a time.
  set_tests_properties(ribex_registry_inproc_test PROPERTIES RESOURCE_LOCK tracebuffer)

  # What one client-liveness check costs; a program, not a test.
  add_executable(ribex_liveness_bench ${CMAKE_CURRENT_LIST_DIR}/liveness_bench.cpp)
  target_link_libraries(ribex_liveness_bench PRIVATE ribex_registry ribex_testsupport)
  target_link_options(ribex_liveness_bench PRIVATE -municode)
endif()

if(TARGET ribex_registry AND TARGET ribex
   AND EXISTS ${PROJECT_SOURCE_DIR}/SRC/WIN32/CLIENT/ribexclient/CMakeLists.txt)
  add_executable(registry_client ${CMAKE_CURRENT_LIST_DIR}/registry_client.cpp)
  target_link_libraries(registry_client PRIVATE ribexclient)
  target_link_options(registry_client PRIVATE -municode)

  add_library(registry_e2e STATIC ${CMAKE_CURRENT_LIST_DIR}/registry_e2e.cpp)
  target_include_directories(registry_e2e PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(registry_e2e PUBLIC ribex_testsupport ribex_names msgq trace)

  foreach(suite clients wire liveness)
    ribex_add_gtest(ribex_e2e_${suite}_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_e2e_${suite}_test.cpp
      LIBS registry_e2e
      DEPENDS ribex registry_client
      TIMEOUT 240)
  endforeach()
  set_tests_properties(ribex_e2e_clients_test PROPERTIES RESOURCE_LOCK ribexserver)
  set_tests_properties(ribex_e2e_wire_test ribex_e2e_liveness_test PROPERTIES
    RESOURCE_LOCK "ribexserver;tracebuffer")

  # A device net on the virtual CAN driver, loaded by the vcan_driver fixture.
  if(MINGW AND EXISTS ${PROJECT_SOURCE_DIR}/SRC/WIN32/DRIVER/vcan/CMakeLists.txt)
    ribex_add_gtest(ribex_e2e_device_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_e2e_device_test.cpp
      LIBS registry_e2e vcan_control
      DEPENDS ribex registry_client vcan
      TIMEOUT 180)
    set_tests_properties(ribex_e2e_device_test PROPERTIES
      RESOURCE_LOCK "ribexserver;vcanservice" FIXTURES_REQUIRED vcan_driver)
  endif()
endif()
