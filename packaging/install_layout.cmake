# Runs at install time (cmake --install, cpack): fills the paths of the prefix being installed to
# into the units and the settings file and installs them, and makes the device root. Under /usr,
# /etc and /var stay outside it, as GNUInstallDirs decides for that prefix; under any other prefix
# they stay below it, so that a trial install touches nothing else.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(etc_dir /etc)
  set(var_dir /var)
else()
  set(etc_dir "${prefix}/etc")
  set(var_dir "${prefix}/var")
endif()
# The names the .in files use.
set(QUILLON_BIN_PATH "${prefix}/${QUILLON_INSTALL_BINDIR}")
set(QUILLON_STATE_PATH "${var_dir}/lib/quillon")
set(QUILLON_SETTINGS_PATH "${etc_dir}/default/quillon")

set(staged "${QUILLON_PACKAGING_BINARY_DIR}/installed")
foreach(unit quillon.service quillon-headless.service quillon-cage@.service quillon.default)
  configure_file("${QUILLON_PACKAGING_SOURCE_DIR}/${unit}.in" "${staged}/${unit}" @ONLY)
endforeach()
file(INSTALL "${staged}/quillon.service" "${QUILLON_PACKAGING_SOURCE_DIR}/quillon-kiosk.target"
     DESTINATION "${prefix}/lib/systemd/user")
file(INSTALL "${staged}/quillon-headless.service" "${staged}/quillon-cage@.service"
     DESTINATION "${prefix}/lib/systemd/system")
file(INSTALL "${staged}/quillon.default" DESTINATION "${etc_dir}/default" RENAME quillon)
# The public keys of trusted publishers (QUILLON_TRUSTED_KEYS); shipped empty, so that checking
# stays off until the installer puts a key in.
file(MAKE_DIRECTORY "$ENV{DESTDIR}${etc_dir}/quillon/trusted-keys")
# The device root, owned by the package; postinst hands it to the quillon group.
file(MAKE_DIRECTORY "$ENV{DESTDIR}${QUILLON_STATE_PATH}")
