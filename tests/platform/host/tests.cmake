quorvin_add_test(platform_host_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/file_system_test.cpp ${CMAKE_CURRENT_LIST_DIR}/file_types_test.cpp
  LIBS quorvin::platform)
