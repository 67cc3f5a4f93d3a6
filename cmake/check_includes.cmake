# Fails when a file of a library's folder includes a project header from a
# folder the library may not use. Run by the build (see voxbridge_library).
#   ROOM     the library's own folder, e.g. server/slots
#   ALLOWED  ;-list of further folders it may include from, e.g. runtime;board
#   FILES    ;-list of the files to check
#   STAMP    written when every include is allowed
set(_bad "")
foreach(f ${FILES})
  file(STRINGS "${f}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
  foreach(line ${_lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]*)\".*" "\\1" inc "${line}")
    string(FIND "${inc}" "/" slash)
    if(slash EQUAL -1)
      continue() # a header beside the file
    endif()
    set(ok FALSE)
    foreach(room ${ROOM} ${ALLOWED})
      string(LENGTH "${room}/" n)
      string(SUBSTRING "${inc}" 0 ${n} head)
      if(head STREQUAL "${room}/")
        set(ok TRUE)
      endif()
    endforeach()
    if(NOT ok)
      string(APPEND _bad "  ${f}: ${inc}\n")
    endif()
  endforeach()
endforeach()
if(_bad)
  message(FATAL_ERROR "${ROOM}/ may include only from ${ROOM};${ALLOWED}:\n${_bad}")
endif()
file(WRITE "${STAMP}" "")
