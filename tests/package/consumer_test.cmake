# Installs the current build, moves the installed tree to another prefix, builds the consumer
# program against it there with find_package(quorvin) and with pkg-config, and runs both: nothing
# installed may name where it was installed, nor a library path of the machine that built it,
# and both consumers link the system's shared OpenSSL and c-ares, whichever way this build
# linked its own programs. Then builds examples/embed the same way and runs examples_test.sh
# over them and README's programs.
# cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=... -DGENERATOR=...
#       -DCXX_FLAGS=... -DLINK_FLAGS=... -DLIBDIR=... -P consumer_test.cmake
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(expect text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "expected \"${pattern}\" in:\n${text}")
  endif()
endfunction()

# The NEEDED entries of a program's dynamic section, one per line.
function(needed program)
  run("reading ${program}" ${READELF} --dynamic ${program})
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" entries "${output}")
  list(JOIN entries "\n" entries)
  set(output "${entries}" PARENT_SCOPE)
endfunction()

find_program(READELF readelf REQUIRED)
file(REMOVE_RECURSE ${WORK_DIR})
set(installed_at ${WORK_DIR}/installed)
set(prefix ${WORK_DIR}/prefix)
run("installing" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${installed_at})
file(RENAME ${installed_at} ${prefix})
foreach(installed include/quorvin/quorvin.h include/quorvin/embed/server.h include/quorvin/server/tarn_server.h include/quorvin/package/tarn_reg.h
                  include/quorvin/platform/core/palette.h include/quorvin/platform/net/shared_listen_socket.h
                  ${LIBDIR}/libquorvin_platform_core.a ${LIBDIR}/libquorvin_platform_host.a
                  ${LIBDIR}/libquorvin_platform_net.a ${LIBDIR}/libquorvin_platform_web.a
                  ${LIBDIR}/cmake/quorvin/quorvinConfig.cmake ${LIBDIR}/pkgconfig/quorvin.pc)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "${installed} was not installed")
  endif()
endforeach()
file(GLOB package_files ${prefix}/${LIBDIR}/cmake/quorvin/*.cmake)
foreach(file ${package_files} ${prefix}/${LIBDIR}/pkgconfig/quorvin.pc)
  file(READ ${file} text)
  foreach(path ${installed_at} ${BUILD_DIR})
    string(FIND "${text}" "${path}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${file} names ${path}")
    endif()
  endforeach()
  # A library is named (OpenSSL::SSL, PkgConfig::QUORVIN_CARES, -lssl) or found under the
  # package's own prefix (${_IMPORT_PREFIX}/lib/...), never by a path of this machine.
  if(text MATCHES "(^|[ ;:\"(])(/[^ ;\")>]*\\.(a|so)([.][0-9]+)*)([ ;\")>]|$)")
    message(FATAL_ERROR "${file} names the library ${CMAKE_MATCH_2}")
  endif()
endforeach()

set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run("configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Debug
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)

run("running the consumer" ${WORK_DIR}/build/consumer)
expect("${output}" "ServerPort 80\n")
expect("${output}" "TSvrModule TSVRMODULE 504\n")
expect("${output}" "TOrbHTTPClient TORBHTTPCLIENT 504\n")
expect("${output}" "\"name\": \"Server\"")
run("running the pkg-config consumer" ${WORK_DIR}/build/consumer_pc)
expect("${output}" "^Quorvin [^\n]* [0-9]+\\.[0-9]+\\.[0-9]+\npage QUORVIN Packages\n$")
foreach(program consumer consumer_pc)
  needed(${WORK_DIR}/build/${program})
  expect("${output}" "\\[libssl\\.so\\.3\\]")
  expect("${output}" "\\[libcrypto\\.so\\.3\\]")
  expect("${output}" "\\[libcares\\.so\\.[0-9]+\\]")
endforeach()

run("configuring the examples" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/embed -B ${WORK_DIR}/embed -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Debug
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run("building the examples" ${CMAKE_COMMAND} --build ${WORK_DIR}/embed)
run("the examples and README's programs" bash ${SOURCE_DIR}/tests/package/examples_test.sh ${SOURCE_DIR}
    ${WORK_DIR}/embed ${WORK_DIR}/readme ${CXX} "${CXX_FLAGS}" "${LINK_FLAGS}")
file(REMOVE_RECURSE ${WORK_DIR})
