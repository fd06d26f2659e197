add_executable(quorvin-fetch ${CMAKE_CURRENT_LIST_DIR}/quorvin_fetch.cpp)
target_link_libraries(quorvin-fetch PRIVATE quorvin::client quorvin::warnings)
