# The socket layers on the event loop (application.cpp is listed in platform/CMakeLists.txt).
target_sources(quorvin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/event_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_lookup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scktcomp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dwinsock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_pump.cpp)
