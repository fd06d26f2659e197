# Installation: the headers under include/quorvin/<folder>/, the static libraries, the programs,
# a CMake package (find_package(quorvin) gives quorvin::platform ... quorvin::quorvin) and a
# pkg-config file. Nothing installed names a path of this machine: both find what the libraries
# use (OpenSSL, c-ares, nlohmann-json) by name on the machine that builds against them, and the
# installed tree may be moved to another prefix. Included at the end of the top-level
# CMakeLists.txt, once every target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUORVIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvin)
set(quorvin_folders platform webbridge server client package embed)
# platform is four libraries, one per folder, under one INTERFACE target.
set(quorvin_libraries platform platform_core platform_host platform_net platform_web
                      webbridge server client package embed)

# Headers keep the layout they are included by ("quorvin/server/tarn_server.h").
foreach(folder ${quorvin_folders})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/quorvin/${folder}/ DESTINATION include/quorvin/${folder}
          FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/quorvin/quorvin.h DESTINATION include/quorvin)

# The warnings target comes along only because the libraries name it as a private link
# dependency; it adds nothing to a consumer's build.
set_target_properties(quorvin_all PROPERTIES EXPORT_NAME quorvin)
set_target_properties(quorvin_warnings PROPERTIES EXPORT_NAME warnings)
set(quorvin_export_targets quorvin_all quorvin_warnings)
foreach(lib ${quorvin_libraries})
  list(APPEND quorvin_export_targets quorvin_${lib})
endforeach()
install(TARGETS ${quorvin_export_targets} EXPORT quorvinTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

foreach(program quorvin-serve quorvin-fetch quorvin-designer)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The libraries are archives, so a program linked through pkg-config needs c-ares and OpenSSL on
# its own link line, whichever way this build linked its programs (quorvinConfig.cmake names the
# same for find_package).
set(QUORVIN_PC_REQUIRES "nlohmann_json libcares openssl >= 3.0")

install(EXPORT quorvinTargets NAMESPACE quorvin:: DESTINATION ${QUORVIN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quorvinConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/quorvinConfig.cmake
                              INSTALL_DESTINATION ${QUORVIN_CMAKE_DIR})
# Before 1.0 a minor release may change the interfaces.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvinConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvinConfig.cmake ${PROJECT_BINARY_DIR}/quorvinConfigVersion.cmake
        DESTINATION ${QUORVIN_CMAKE_DIR})

# pkg-config: the static libraries in link order, each before what it uses.
set(QUORVIN_PC_LIBS "")
foreach(lib embed package server client webbridge
            platform_web platform_net platform_host platform_core)
  string(APPEND QUORVIN_PC_LIBS " -lquorvin_${lib}")
endforeach()
# The prefix is found from the file's own place, so that `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH QUORVIN_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QUORVIN_PC_PREFIX "${QUORVIN_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvin.pc.in ${PROJECT_BINARY_DIR}/quorvin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
