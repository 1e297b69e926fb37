# The receive path: shared receive buffer, CAN driver interface,
# remote-frame table lookups, simulated CAN connection, table growth, the
# request handshake and the per-net receive thread.
add_library(ribex_receive STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rx_buffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/can_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rem_reply_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_can.cpp
  ${CMAKE_CURRENT_LIST_DIR}/table_growth.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net_thread_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/can_read_thread.cpp)
target_include_directories(ribex_receive PUBLIC
  ${CMAKE_CURRENT_LIST_DIR}/include
  ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ribex_receive PUBLIC ribex_names trace msgq advapi32)
