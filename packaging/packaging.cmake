# Installation beyond the binary and its resources: the systemd user unit for
# `--headless`, the man page, shell completions, and the Debian package.

# The unit names the binary by its installed path, known only at install time
# (`cmake --install --prefix`, or /usr when CPack stages the package).
install(CODE "
  set(_unit_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
  file(READ \"${CMAKE_CURRENT_LIST_DIR}/quotadial.service.in\" _unit)
  string(REPLACE \"@BINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" _unit \"\${_unit}\")
  message(STATUS \"Installing: \${_unit_dir}/quotadial.service\")
  file(MAKE_DIRECTORY \"\${_unit_dir}\")
  file(WRITE \"\${_unit_dir}/quotadial.service\" \"\${_unit}\")
")

install(FILES ${CMAKE_CURRENT_LIST_DIR}/quotadial.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/completions/quotadial.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quotadial)
# Debian's zsh reads vendor-completions under /usr, site-functions elsewhere;
# the prefix is known only at install time.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(_zsh_dir \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions\")
  else()
    set(_zsh_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/zsh/site-functions\")
  endif()
  message(STATUS \"Installing: \${_zsh_dir}/_quotadial\")
  file(COPY \"${CMAKE_CURRENT_LIST_DIR}/completions/_quotadial\" DESTINATION \"\${_zsh_dir}\")
")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completions/quotadial.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

# `cpack -G DEB` in the build directory. The dependencies come from the shared
# libraries the binary links (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_PACKAGE_NAME quotadial)
set(CPACK_PACKAGE_VENDOR "Quotadial")
set(CPACK_PACKAGE_CONTACT "Quotadial developers <quotadial@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Range meter for the quota of AI coding agents")
set(CPACK_PACKAGE_DESCRIPTION
    "Watches the quota of the Codex command-line tool and Claude Code in their 5-hour and weekly windows, forecasts when each runs out, and alerts before it does. Tray app, terminal report, status-bar module and headless service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
# Stage with DESTDIR so that install-time code sees the real prefix (/usr).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
# The build keeps its debug information; the package does not.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The status-line bridge is a Python script; notify-send shows the headless run's alerts.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libnotify-bin")
include(CPack)
