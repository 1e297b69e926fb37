# The server's spine: names, version check, trace module and hMsgQRef
# tables in one process (ribex_names_test); ribex.exe as a process. Tests that touch the
# machine-wide "TRACEBUFFER" ring or the instance marker hold their locks.
ribex_add_gtest(ribex_names_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ribex_names_test.cpp
  LIBS ribex_names ribex_version_check ribex_trace_modules ribex_msgq_refs
  TIMEOUT 120)
set_tests_properties(ribex_names_test PROPERTIES RESOURCE_LOCK tracebuffer)

if(TARGET ribex)
  # Dies holding the global lock, as a client killed inside its lock window.
  add_executable(ribex_spine_lock_holder ${CMAKE_CURRENT_LIST_DIR}/spine_lock_holder.cpp)
  target_link_libraries(ribex_spine_lock_holder PRIVATE ribex_testsupport ribex_names)
  target_link_options(ribex_spine_lock_holder PRIVATE -municode)

  ribex_add_gtest(ribex_spine_process_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/spine_process_test.cpp
    LIBS ribex_names ribex_testserver trace
    DEPENDS ribex ribex_spine_lock_holder
    TIMEOUT 180)
  set_tests_properties(ribex_spine_process_test PROPERTIES RESOURCE_LOCK "tracebuffer;ribexserver")
endif()
