# Installs the build into a fresh prefix, then builds and runs a downstream project against it, once found
# through the CMake package and once through pkg-config.
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/kestrum.h)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# CMake package
run(${CMAKE_COMMAND} -S ${DOWNSTREAM_SRC} -B ${WORK_DIR}/downstream -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_RPATH=${prefix}/lib
    "-DCMAKE_C_FLAGS=${DOWNSTREAM_C_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${DOWNSTREAM_LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/downstream)
file(GLOB libdirs ${prefix}/lib ${prefix}/lib/*-linux-gnu)
string(REPLACE ";" ":" ld_path "${libdirs}")
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${ld_path} ${WORK_DIR}/downstream/downstream)
if(NOT last_output MATCHES "downstream ok")
  message(FATAL_ERROR "downstream program did not run: ${last_output}")
endif()

# pkg-config, relocated with the prefix
file(GLOB_RECURSE pc ${prefix}/*/brimvale-kestrum.pc)
if(NOT pc)
  message(FATAL_ERROR "no brimvale-kestrum.pc installed")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} pkg-config --cflags --libs brimvale-kestrum)
string(STRIP "${last_output}" flags)
separate_arguments(flag_list UNIX_COMMAND "${flags}")
separate_arguments(build_flags UNIX_COMMAND "${DOWNSTREAM_C_FLAGS} ${DOWNSTREAM_LINK_FLAGS}")
run(cc ${build_flags} ${DOWNSTREAM_SRC}/main.c ${flag_list} -o ${WORK_DIR}/downstream-pc)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${ld_path} ${WORK_DIR}/downstream-pc)
message(STATUS "installed package found and used: ${flags}")
