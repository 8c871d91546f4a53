# kestrum_warnings: the warning set every target of this project builds with.
add_library(kestrum_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(kestrum_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wformat=2
                         -Wcast-qual -Wnon-virtual-dtor -Wold-style-cast -Wnull-dereference
                         $<$<BOOL:${KESTRUM_WERROR}>:-Werror>)
  # -Wold-style-cast is for our C++ only
  target_compile_options(kestrum_warnings INTERFACE $<$<COMPILE_LANGUAGE:C>:-Wno-old-style-cast>)
endif()
