add_library(quorvin_warnings INTERFACE)
target_compile_options(quorvin_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wimplicit-fallthrough
  $<$<BOOL:${QUORVIN_WERROR}>:-Werror>)
add_library(quorvin::warnings ALIAS quorvin_warnings)

if(QUORVIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# quorvin_add_library(name SOURCES ... LIBS ...): one static library per layer.
function(quorvin_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(quorvin_${name} STATIC ${A_SOURCES})
  add_library(quorvin::${name} ALIAS quorvin_${name})
  target_include_directories(quorvin_${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:include>)
  target_link_libraries(quorvin_${name} PUBLIC ${A_LIBS} PRIVATE quorvin::warnings ${A_PRIVATE_LIBS})
  set_target_properties(quorvin_${name} PROPERTIES EXPORT_NAME ${name})
endfunction()

# quorvin_add_test(name SOURCES ... LIBS ... [LABELS ...]): a GoogleTest executable whose cases
# are discovered when the tests run.
function(quorvin_add_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} quorvin_test_support GTest::gtest GTest::gtest_main
                                        quorvin::warnings)
  set(labels unit)
  if(A_LABELS)
    set(labels ${A_LABELS})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()
