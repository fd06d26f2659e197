quorvin_add_test(platform_net_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/scktcomp_test.cpp
  LIBS quorvin::platform)
