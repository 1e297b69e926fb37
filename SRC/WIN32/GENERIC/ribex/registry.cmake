# The net registry, the remote-frame requests and the request handlers:
# everything the request loop calls for a client request. They drive the
# receive path, so they are built only where it is in the tree.
if(TARGET ribex_receive)
  add_library(ribex_registry STATIC
    ${CMAKE_CURRENT_LIST_DIR}/net_registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/rem_frame_requests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/request_handlers.cpp)
  target_include_directories(ribex_registry PUBLIC
    ${CMAKE_CURRENT_LIST_DIR}/include
    ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(ribex_registry PUBLIC ribex_receive ribex_names trace msgq)
endif()
