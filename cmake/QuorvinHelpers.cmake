add_library(quorvin_warnings INTERFACE)
target_compile_options(quorvin_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wimplicit-fallthrough
  $<$<BOOL:${QUORVIN_WERROR}>:-Werror>)
add_library(quorvin::warnings ALIAS quorvin_warnings)

if(QUORVIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The folders under quorvin/ whose headers a library target may include: the target's own and,
# through the libraries it links (an INTERFACE target stands for what it links), theirs.
function(quorvin_library_folders target out)
  set(folders "")
  if(TARGET ${target})
    get_target_property(real ${target} ALIASED_TARGET)
    if(NOT real)
      set(real ${target})
    endif()
    get_target_property(own ${real} QUORVIN_FOLDERS)
    get_target_property(type ${real} TYPE)
    if(own)
      set(folders ${own})
    elseif(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${real} INTERFACE_LINK_LIBRARIES)
      foreach(link ${links})
        if(link MATCHES "^quorvin::")
          quorvin_library_folders(${link} linked)
          list(APPEND folders ${linked})
        endif()
      endforeach()
    endif()
  endif()
  list(REMOVE_DUPLICATES folders)
  set(${out} ${folders} PARENT_SCOPE)
endfunction()

# quorvin_add_library(name SOURCES ... LIBS ...): one static library per layer, built from the
# folder its name spells (platform_net: quorvin/platform/net) and linked only downwards. Each
# time it is archived, the build checks that the folder's files include headers of that folder
# and of the libraries it links alone, so that no layer comes to use one above it unnoticed.
function(quorvin_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(quorvin_${name} STATIC ${A_SOURCES})
  add_library(quorvin::${name} ALIAS quorvin_${name})
  target_include_directories(quorvin_${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:include>)
  target_link_libraries(quorvin_${name} PUBLIC ${A_LIBS} PRIVATE quorvin::warnings ${A_PRIVATE_LIBS})
  set_target_properties(quorvin_${name} PROPERTIES EXPORT_NAME ${name})

  string(REPLACE "_" "/" folder ${name})
  set(folders ${folder})
  foreach(lib ${A_LIBS})
    quorvin_library_folders(${lib} linked)
    list(APPEND folders ${linked})
  endforeach()
  list(REMOVE_DUPLICATES folders)
  set_target_properties(quorvin_${name} PROPERTIES QUORVIN_FOLDERS "${folders}")
  string(REPLACE ";" "," allowed "${folders}")
  add_custom_command(TARGET quorvin_${name} PRE_LINK
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DFOLDER=${folder}
            -DALLOWED=${allowed} -P ${PROJECT_SOURCE_DIR}/cmake/QuorvinCheckIncludes.cmake
    VERBATIM)
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
