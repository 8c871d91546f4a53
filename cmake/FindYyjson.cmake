# Provides the imported target yyjson::yyjson: the package's own CMake config where it ships one, else its
# pkg-config file, else a library and header found on the usual paths (a cross build points
# CMAKE_FIND_ROOT_PATH or yyjson_ROOT at its own copy).
#
# A cross build that has no yyjson of its own sets KESTRUM_YYJSON_SOURCE_DIR to yyjson's unpacked source
# (scripts/setup --windows puts Debian's under build/yyjson-src): it is compiled here with the cross compiler
# as a static archive, so the library carries it inside and needs no yyjson DLL.
set(KESTRUM_YYJSON_SOURCE_DIR "" CACHE PATH "yyjson source tree to compile in (cross builds)")
if(KESTRUM_YYJSON_SOURCE_DIR)
  if(NOT EXISTS "${KESTRUM_YYJSON_SOURCE_DIR}/src/yyjson.c")
    message(FATAL_ERROR "No yyjson source in ${KESTRUM_YYJSON_SOURCE_DIR}. Run scripts/setup --windows.")
  endif()
  add_library(kestrum_yyjson STATIC "${KESTRUM_YYJSON_SOURCE_DIR}/src/yyjson.c")
  target_include_directories(kestrum_yyjson SYSTEM PUBLIC "${KESTRUM_YYJSON_SOURCE_DIR}/src")
  add_library(yyjson::yyjson ALIAS kestrum_yyjson)
endif()

if(NOT TARGET yyjson::yyjson)
  find_package(yyjson CONFIG QUIET)
endif()
if(NOT TARGET yyjson::yyjson)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(YYJSON QUIET IMPORTED_TARGET yyjson)
    if(TARGET PkgConfig::YYJSON)
      add_library(yyjson::yyjson ALIAS PkgConfig::YYJSON)
    endif()
  endif()
endif()
if(NOT TARGET yyjson::yyjson)
  find_path(YYJSON_INCLUDE_DIR yyjson.h)
  find_library(YYJSON_LIBRARY yyjson)
  if(YYJSON_INCLUDE_DIR AND YYJSON_LIBRARY)
    add_library(yyjson::yyjson UNKNOWN IMPORTED)
    set_target_properties(yyjson::yyjson PROPERTIES IMPORTED_LOCATION "${YYJSON_LIBRARY}"
                          INTERFACE_INCLUDE_DIRECTORIES "${YYJSON_INCLUDE_DIR}")
  endif()
endif()
if(NOT TARGET yyjson::yyjson)
  message(FATAL_ERROR "yyjson not found. Run scripts/setup, which installs libyyjson-dev.")
endif()
