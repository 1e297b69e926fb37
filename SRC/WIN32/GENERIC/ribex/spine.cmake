# ribex.exe: the process entry and request loop, linked with whatever
# concern groups of the server exist in this tree.
set(ribex_spine_sources ${CMAKE_CURRENT_LIST_DIR}/ribex_main.cpp)
if(NOT TARGET ribex_registry)
  # Without the registry the requests are traced and left unanswered.
  list(APPEND ribex_spine_sources ${CMAKE_CURRENT_LIST_DIR}/request_handlers_stub.cpp)
endif()
add_executable(ribex ${ribex_spine_sources})
target_link_libraries(ribex PRIVATE ribex_names)
foreach(part ribex_registry ribex_receive)
  if(TARGET ${part})
    target_link_libraries(ribex PRIVATE ${part})
  endif()
endforeach()
target_link_libraries(ribex PRIVATE ribex_names shell32)
