add_executable(quorvin-designer ${CMAKE_CURRENT_LIST_DIR}/quorvin_designer.cpp)
target_link_libraries(quorvin-designer PRIVATE quorvin::package quorvin::warnings)
