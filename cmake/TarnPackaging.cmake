# Install helpers for system files, and the Debian packages that `cpack -G DEB` makes in the build
# folder, one per install component:
#   libtarn-client1     runtime  the shared library
#   libtarn-client-dev  dev      headers, CMake package, tarn_client.pc, the .so link
#   tarn-rendezvous     server   the server, its systemd unit, /etc/tarn-rendezvous.conf, man page
#   tarn-tools          tools    tarn-probe, tarn-lab and its delay line tarn-delayline
# Run-time dependencies come from dpkg-shlibdeps; the packages' own relations are set here.


set(TARN_PACKAGE_MAINTAINER "tarn developers <tarn@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VENDOR "tarn")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev server tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps of the tools finds libtarn_client.so.1 here; the relation to its package is below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/tarn_client)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(_tarn_pkg_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_tarn_pkg_dir})

# runtime
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarn-client1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The shlibs file and the ldconfig trigger by hand: CPack would otherwise write maintainer scripts
# that call ldconfig, which Debian has replaced by the trigger. Scripts of our own stop it.
file(WRITE ${_tarn_pkg_dir}/runtime/shlibs "libtarn_client 1 libtarn-client1 (>= ${PROJECT_VERSION})\n")
file(WRITE ${_tarn_pkg_dir}/runtime/triggers "activate-noawait ldconfig\n")
foreach(_script postinst postrm)
  file(WRITE ${_tarn_pkg_dir}/runtime/${_script}
       "#!/bin/sh\n# libtarn-client1: the ldconfig trigger updates the linker cache.\nset -e\nexit 0\n")
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_tarn_pkg_dir}/runtime/shlibs ${_tarn_pkg_dir}/runtime/triggers
    ${_tarn_pkg_dir}/runtime/postinst ${_tarn_pkg_dir}/runtime/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "tarn: NAT discovery and direct UDP connections for games
tarn is a client library that games load to reach each other directly over
UDP. It discovers how the local machine reaches the internet against a tarn
rendezvous service and tries to reach every peer of a game directly, marking
the peers it cannot reach for relay.
.
This package holds the shared library.")

# dev
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarn-client-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "tarn: development files of the client library
tarn is a client library that games load to reach each other directly over
UDP.
.
This package holds the C++17 headers, the CMake package (find_package
tarn_client, target tarn::client) and the pkg-config file tarn_client.")

# server
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tarn-rendezvous)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_COMPONENT_SERVER_DESCRIPTION "tarn: rendezvous server for NAT discovery
tarn-rendezvous is the service that tarn clients discover their NAT against:
it answers binding requests on two addresses and two UDP ports and relays
pings to peers behind symmetric NATs, with abuse limits. Its counters are
printed to the journal and can be served to Prometheus.
.
The package runs it as the system user tarn-rendezvous through the systemd
unit tarn-rendezvous.service, configured in /etc/tarn-rendezvous.conf.")
foreach(_script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/server/dist/debian/${_script} ${_tarn_pkg_dir}/server/${_script} COPYONLY)
endforeach()
file(WRITE ${_tarn_pkg_dir}/server/conffiles "/etc/tarn-rendezvous.conf\n")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${_tarn_pkg_dir}/server/postinst ${_tarn_pkg_dir}/server/prerm ${_tarn_pkg_dir}/server/postrm
    ${_tarn_pkg_dir}/server/conffiles)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# tools
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarn-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "tarn-rendezvous, iproute2, nftables, python3-matplotlib")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "tarn: probe and NAT lab
tarn-probe uses the tarn client library the way a game does: it discovers
this host's NAT (in the classic terms and as mapping and filtering behaviour)
and plays one player of a game session. tarn-lab runs tarn across real Linux
kernel NATs in network namespaces and draws the peer matrix.")

# Every package carries its copyright file and a changelog in /usr/share/doc/<package>.
string(TIMESTAMP _tarn_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(_component runtime dev server tools)
  string(TOUPPER ${_component} _upper)
  set(_name ${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
  file(WRITE ${_tarn_pkg_dir}/${_name}/changelog
       "${_name} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}, packaged with CPack.\n\n"
       " -- ${TARN_PACKAGE_MAINTAINER}  ${_tarn_date}\n")
  add_custom_command(OUTPUT ${_tarn_pkg_dir}/${_name}/changelog.gz
                     COMMAND gzip -9 -n -f -k ${_tarn_pkg_dir}/${_name}/changelog
                     DEPENDS ${_tarn_pkg_dir}/${_name}/changelog VERBATIM)
  add_custom_target(changelog_${_component} ALL DEPENDS ${_tarn_pkg_dir}/${_name}/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_tarn_pkg_dir}/${_name}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_name} COMPONENT ${_component})
endforeach()

include(CPack)
