# The web action framework: request and response base classes, cookies, actions, dispatchers,
# URL decoding and HTTP dates.
target_sources(quorvin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/cookie.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_date.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_decode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_action.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_dispatcher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_response.cpp)
