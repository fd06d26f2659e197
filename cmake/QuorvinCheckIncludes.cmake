# Fails, naming each one, when a file under quorvin/<FOLDER> includes a Quorvin header from a
# folder that is not in ALLOWED: the layers use only what their libraries link.
# cmake -DSOURCE_DIR=<repository> -DFOLDER=platform/net -DALLOWED=platform/net,platform/core
#       -P QuorvinCheckIncludes.cmake
string(REPLACE "," ";" allowed "${ALLOWED}")
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/quorvin/${FOLDER}/*.h
     ${SOURCE_DIR}/quorvin/${FOLDER}/*.cpp)
set(upward "")
foreach(file ${files})
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]quorvin/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[^<\"]*[<\"]quorvin/([^>\"]*)[>\"].*$" "\\1" header "${line}")
    get_filename_component(dir "${header}" DIRECTORY)
    set(ok FALSE)
    foreach(folder ${allowed})
      # A folder's subfolders (package/icons) are part of its library.
      if(dir STREQUAL folder OR dir MATCHES "^${folder}/")
        set(ok TRUE)
      endif()
    endforeach()
    if(NOT ok)
      string(APPEND upward "\n  ${file} includes quorvin/${header}")
    endif()
  endforeach()
endforeach()
if(upward)
  message(FATAL_ERROR "quorvin/${FOLDER} may include headers of ${ALLOWED} only:${upward}")
endif()
