quorvin_add_test(platform_web_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/http_date_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_decode_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_dispatcher_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_request_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/web_response_test.cpp
  LIBS quorvin::platform)
