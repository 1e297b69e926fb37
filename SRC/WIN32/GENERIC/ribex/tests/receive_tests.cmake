# Tests of the receive path. The thread tests drive CanReadThread through
# a harness that plays the registry's part; a test-only peer program feeds
# simulated frames from another process.
if(TARGET ribex_receive)
  add_library(ribex_receive_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/receive_harness.cpp)
  target_link_libraries(ribex_receive_harness PUBLIC ribex_receive ribex_testsupport)

  add_executable(ribex_receive_peer ${CMAKE_CURRENT_LIST_DIR}/receive_peer.cpp)
  target_include_directories(ribex_receive_peer PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../include)
  target_link_libraries(ribex_receive_peer PRIVATE msgq ribex_testsupport)
  target_link_options(ribex_receive_peer PRIVATE -municode)

  ribex_add_gtest(ribex_receive_buffer_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/receive_buffer_test.cpp
    LIBS ribex_receive
    TIMEOUT 60)

  # Reads the machine-wide trace ring: one such test at a time.
  ribex_add_gtest(ribex_receive_thread_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/receive_thread_test.cpp
    LIBS ribex_receive_harness
    DEPENDS ribex_receive_peer
    TIMEOUT 120)
  set_tests_properties(ribex_receive_thread_test PROPERTIES RESOURCE_LOCK tracebuffer)

  # Against the virtual CAN driver: each test installs a private instance.
  # The driver is added after the server, so look for its folder.
  if(MINGW AND EXISTS ${CMAKE_SOURCE_DIR}/SRC/WIN32/DRIVER/vcan/CMakeLists.txt)
    ribex_add_gtest(ribex_receive_device_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/receive_device_test.cpp
      LIBS ribex_receive_harness vcan_control
      DEPENDS vcan
      TIMEOUT 180)
    set_tests_properties(ribex_receive_device_test PROPERTIES FIXTURES_REQUIRED vcan_driver
      RESOURCE_LOCK "tracebuffer;vcanservice")

    # Frames per second through the thread; a program, not a test.
    add_executable(ribex_receive_bench ${CMAKE_CURRENT_LIST_DIR}/receive_bench.cpp)
    target_link_libraries(ribex_receive_bench PRIVATE ribex_receive_harness vcan_control)
    target_link_options(ribex_receive_bench PRIVATE -municode)
    add_dependencies(ribex_receive_bench vcan)
  endif()
endif()
