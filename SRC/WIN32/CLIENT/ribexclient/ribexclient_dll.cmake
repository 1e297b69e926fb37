# The rest of ribexclient.dll (the target ribexclient that tools and client
# programs link): its exports (ribexclient.def: names only, C linkage), its
# import library ribexclient.lib, and the SDK that installs them with the
# public headers and the CMake package in which find_package(ribex) gives
# ribex::client. Also ribexclient_static, the same code for tests that
# reach the internals (the ring walk is not exported).
target_sources(ribexclient PRIVATE client_abi.cpp ribexclient.def)
target_link_libraries(ribexclient PRIVATE ribex_version)

# The headers a client program needs: the API and the receive-buffer
# layout it returns (with the static_assert macro that layout uses). The
# layout lives with the layouts the server and the driver share; it is
# found through the target that publishes them.
get_target_property(shared_dirs ribex_names INTERFACE_INCLUDE_DIRECTORIES)
foreach(dir ${shared_dirs})
  if(EXISTS ${dir}/rx_buffer_layout.h)
    set(RIBEX_LAYOUT_DIR ${dir})
  endif()
endforeach()
target_include_directories(ribexclient PUBLIC
  $<BUILD_INTERFACE:${RIBEX_LAYOUT_DIR}>
  $<INSTALL_INTERFACE:include>)

# ribexclient.dll and ribexclient.lib whatever the toolchain's habit.
set_target_properties(ribexclient PROPERTIES
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".lib"
  EXPORT_NAME client
  PUBLIC_HEADER "${CMAKE_CURRENT_SOURCE_DIR}/ribex_client.h;\
${RIBEX_LAYOUT_DIR}/rx_buffer_layout.h;${RIBEX_LAYOUT_DIR}/ribex_static_assert.h"
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})

get_target_property(client_sources ribexclient SOURCES)
list(FILTER client_sources EXCLUDE REGEX "\\.def$")
add_library(ribexclient_static STATIC ${client_sources})
target_include_directories(ribexclient_static PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(ribexclient_static PUBLIC ribex_names msgq PRIVATE ribex_version)

# The DLL goes with the server and tools; the rest is the SDK, whose .def
# file lets other linkers make an import library of their own.
include(CMakePackageConfigHelpers)
install(TARGETS ribexclient EXPORT ribexTargets
  RUNTIME DESTINATION bin COMPONENT server
  ARCHIVE DESTINATION lib COMPONENT sdk
  PUBLIC_HEADER DESTINATION include COMPONENT sdk)
install(FILES ribexclient.def DESTINATION lib COMPONENT sdk)
install(EXPORT ribexTargets NAMESPACE ribex:: DESTINATION lib/cmake/ribex COMPONENT sdk)
configure_package_config_file(ribexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ribexConfig.cmake
  INSTALL_DESTINATION lib/cmake/ribex)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ribexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/ribexConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ribexConfigVersion.cmake
  DESTINATION lib/cmake/ribex COMPONENT sdk)
