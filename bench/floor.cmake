# The floor of the benchmark: a minimal epoll server of our own that answers every connection
# with one canned file, so bench/run can show what a request costs the kernel alone.
add_executable(floor_server ${CMAKE_CURRENT_LIST_DIR}/floor_server.cpp)
target_link_libraries(floor_server PRIVATE quorvin::warnings)
if(QUORVIN_STATIC_PROGRAMS)
  # Linked like the programs it is measured against, so that neither carries shared libraries
  # the other does not.
  target_link_options(floor_server PRIVATE -static)
endif()
