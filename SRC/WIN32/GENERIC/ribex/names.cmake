# Object names, reply-queue wrappers, version check, the server's trace
# modules and the hMsgQRef table: small pieces that the request loop, the
# registry and the receive path share.
add_library(ribex_names STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ribex_names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/version_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_modules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/msgq_ref_table.cpp)
target_include_directories(ribex_names PUBLIC
  ${CMAKE_CURRENT_LIST_DIR}/include
  ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ribex_names PUBLIC trace msgq user32)
