# Run by `cmake --install` (install(SCRIPT) in packaging/CMakeLists.txt): the units name the programs and
# the settings file where this installation puts them, so the paths are worked out here, from the prefix
# given at install time (`--prefix`), not the one the build was configured with. Relative directories
# are resolved as GNUInstallDirs resolves them: the prefix /usr (or /) keeps its configuration in /etc,
# /opt/NAME in /etc/opt/NAME, any other prefix in PREFIX/etc.
#
# Set before this runs: kestrum_units_in (the folder of the .in units), kestrum_units_out (a build folder),
# kestrum_bindir, kestrum_sysconfdir, kestrum_unitdir (as configured: relative to the prefix or absolute).

function(kestrum_absolute out dir kind)
  if(IS_ABSOLUTE "${dir}")
    set(path "${dir}")
  elseif(kind STREQUAL "sysconf" AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(path "/${dir}")
  elseif(kind STREQUAL "sysconf" AND CMAKE_INSTALL_PREFIX MATCHES "^/opt/([^/]+)/?$")
    set(path "/${dir}/opt/${CMAKE_MATCH_1}")
  else()
    string(REGEX REPLACE "/$" "" prefix "${CMAKE_INSTALL_PREFIX}")
    set(path "${prefix}/${dir}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

kestrum_absolute(KESTRUM_BINDIR "${kestrum_bindir}" bin)
kestrum_absolute(KESTRUM_SYSCONFDIR "${kestrum_sysconfdir}" sysconf)
kestrum_absolute(unitdir "${kestrum_unitdir}" units)

# One folder per destination: installs of one build to two prefixes may run at once (the tests do).
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(out "${kestrum_units_out}/${destination}")
foreach(unit kestrum-server.service kestrum-probe.service)
  configure_file("${kestrum_units_in}/${unit}.in" "${out}/${unit}" @ONLY)
endforeach()
configure_file("${kestrum_units_in}/kestrum-probe.timer" "${out}/kestrum-probe.timer" COPYONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE
     FILES "${out}/kestrum-server.service" "${out}/kestrum-probe.service" "${out}/kestrum-probe.timer")
file(INSTALL DESTINATION "${KESTRUM_SYSCONFDIR}/default" TYPE FILE RENAME kestrum-probe
     FILES "${kestrum_units_in}/kestrum-probe.default")
