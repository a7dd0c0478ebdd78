# Run at install time (install(CODE) includes it): installs a file to a system folder such as
# /etc or /lib/systemd/system. For the prefix /usr (a package) the folder is the system's; for any
# other prefix it lies below the prefix, so `cmake --install --prefix DIR` never writes outside DIR.
# In files configured here, @TARN_UNIT_BINDIR@ and @TARN_UNIT_SYSCONFDIR@ become the installed
# program folder and configuration folder.
#   TARN_SOURCE: the file; TARN_NAME: its installed name; TARN_SYSTEM_DIR: the folder for /usr,
#   TARN_PREFIX_DIR: the folder below any other prefix; TARN_CONFIGURE: ON to configure it;
#   TARN_WORK_DIR: a folder of the build for the copy.
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(_dir "${TARN_SYSTEM_DIR}")
  set(TARN_UNIT_SYSCONFDIR /etc)
else()
  set(_dir "${CMAKE_INSTALL_PREFIX}/${TARN_PREFIX_DIR}")
  set(TARN_UNIT_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(TARN_UNIT_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")
string(REGEX REPLACE "//+" "/" TARN_UNIT_BINDIR "${TARN_UNIT_BINDIR}")
# Copied under its installed name first, so that file(INSTALL) reports that name.
set(_source "${TARN_WORK_DIR}/${TARN_NAME}")
if(TARN_CONFIGURE)
  configure_file("${TARN_SOURCE}" "${_source}" @ONLY)
else()
  configure_file("${TARN_SOURCE}" "${_source}" COPYONLY)
endif()
file(INSTALL DESTINATION "${_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${_source}")
