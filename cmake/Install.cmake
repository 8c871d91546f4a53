# cmake --install: the header, the library, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS brimvale-kestrum EXPORT brimvale-kestrum-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(kestrum_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/brimvale-kestrum)
install(EXPORT brimvale-kestrum-targets NAMESPACE brimvale-kestrum:: DESTINATION ${kestrum_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/brimvale-kestrum-config.cmake.in
                              ${PROJECT_BINARY_DIR}/brimvale-kestrum-config.cmake
                              INSTALL_DESTINATION ${kestrum_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/brimvale-kestrum-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/brimvale-kestrum-config.cmake
              ${PROJECT_BINARY_DIR}/brimvale-kestrum-config-version.cmake
        DESTINATION ${kestrum_cmake_dir})

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH kestrum_pc_to_prefix /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${PROJECT_SOURCE_DIR}/cmake/brimvale-kestrum.pc.in ${PROJECT_BINARY_DIR}/brimvale-kestrum.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brimvale-kestrum.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
