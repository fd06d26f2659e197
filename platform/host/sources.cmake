target_sources(quorvin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/file_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_types.cpp)
