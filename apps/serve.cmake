add_executable(quorvin-serve ${CMAKE_CURRENT_LIST_DIR}/quorvin_serve.cpp ${CMAKE_CURRENT_LIST_DIR}/demo_actions.cpp)
target_link_libraries(quorvin-serve PRIVATE quorvin::server quorvin::warnings)
target_compile_definitions(quorvin-serve PRIVATE QUORVIN_SITE_DIR="${PROJECT_SOURCE_DIR}/examples/site")
