# Passes when FILE exists and holds TEXT: cmake -DFILE=... -DTEXT=... -P check_file.cmake
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "${FILE} was not written")
endif()
file(READ "${FILE}" content)
string(FIND "${content}" "${TEXT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${FILE} does not hold '${TEXT}'")
endif()
