quorvin_add_test(platform_net_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scktcomp_test.cpp ${CMAKE_CURRENT_LIST_DIR}/host_lookup_test.cpp
  LIBS quorvin::platform)
quorvin_add_test(platform_dwinsock_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dwinsock_test.cpp
  LIBS quorvin::platform)
