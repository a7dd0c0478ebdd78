# Makes the Debian packages with `cpack -G DEB` from the build folder BUILD into OUT and checks
# each one's name, dependencies and files with dpkg-deb.
find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("SKIP: dpkg-deb is not installed")
  return()
endif()
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${OUT}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack -G DEB failed (${rc}):\n${out}${err}")
endif()

set(failures "")
# check(<package> <files...>): the package exists once, and holds every file named.
function(check package)
  file(GLOB debs ${OUT}/${package}_*.deb)
  list(LENGTH debs count)
  if(NOT count EQUAL 1)
    set(failures "${failures}\n${package}: ${count} packages" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND ${DPKG_DEB} --contents ${debs} OUTPUT_VARIABLE listing)
  set(missing "")
  foreach(path ${ARGN})
    string(FIND "${listing}" " .${path}" at)
    if(at EQUAL -1)
      string(APPEND missing "\n${package}: missing ${path}")
    endif()
  endforeach()
  set(failures "${failures}${missing}" PARENT_SCOPE)
  set(${package}_deb ${debs} PARENT_SCOPE)
endfunction()

# field(<package> <field> <regex>): a control field matches.
function(field package name pattern)
  file(GLOB debs ${OUT}/${package}_*.deb)
  execute_process(COMMAND ${DPKG_DEB} --field ${debs} ${name} OUTPUT_VARIABLE value
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  message("${package} ${name}: ${value}")
  if(NOT value MATCHES "${pattern}")
    set(failures "${failures}\n${package}: ${name} '${value}' does not match '${pattern}'" PARENT_SCOPE)
  endif()
endfunction()

check(libtarn-client1 /usr/lib/libtarn_client.so.1 /usr/share/doc/libtarn-client1/copyright)
check(libtarn-client-dev /usr/include/tarn/tarn_client.h /usr/include/tarn/tarn.h
      /usr/include/tarn/client/NatMeasurement.h
      /usr/lib/libtarn_client.so /usr/lib/cmake/tarn_client/tarn_clientConfig.cmake
      /usr/lib/pkgconfig/tarn_client.pc)
check(tarn-rendezvous /usr/bin/tarn-rendezvous /etc/tarn-rendezvous.conf
      /lib/systemd/system/tarn-rendezvous.service /usr/share/man/man1/tarn-rendezvous.1.gz)
check(tarn-tools /usr/bin/tarn-probe /usr/bin/tarn-lab /usr/share/tarn-lab/tarnlab/commands.py
      /usr/share/man/man1/tarn-probe.1.gz)

# Dependencies from dpkg-shlibdeps, and the packages' relations to each other.
field(libtarn-client1 Depends "libboost-[a-z-]+1\\.74\\.0.*libc6 .*libprotobuf")
field(libtarn-client-dev Depends "libtarn-client1 \\(= ")
field(tarn-rendezvous Depends "adduser.*libboost-program-options1\\.74\\.0.*libprotobuf")
field(tarn-tools Depends "libtarn-client1 \\(= .*python3.*libboost-program-options")
# Nothing but the library in the runtime package, no library in the server's.
foreach(pair "libtarn-client1;/usr/bin/" "libtarn-client1;/usr/include/" "tarn-rendezvous;libtarn_client")
  list(GET pair 0 package)
  list(GET pair 1 unwanted)
  file(GLOB debs ${OUT}/${package}_*.deb)
  execute_process(COMMAND ${DPKG_DEB} --contents ${debs} OUTPUT_VARIABLE listing)
  string(FIND "${listing}" "${unwanted}" at)
  if(NOT at EQUAL -1)
    string(APPEND failures "\n${package}: holds ${unwanted}")
  endif()
endforeach()

# The server package: the configuration is a conffile, the unit runs the server as its own user.
file(GLOB server_deb ${OUT}/tarn-rendezvous_*.deb)
execute_process(COMMAND ${DPKG_DEB} --info ${server_deb} conffiles OUTPUT_VARIABLE conffiles)
if(NOT conffiles MATCHES "/etc/tarn-rendezvous.conf")
  string(APPEND failures "\ntarn-rendezvous: /etc/tarn-rendezvous.conf is not a conffile")
endif()
set(unpacked ${OUT}/unpacked)
execute_process(COMMAND ${DPKG_DEB} --extract ${server_deb} ${unpacked})
foreach(instance "" "@")
  if(instance)
    set(config "/etc/tarn-rendezvous/%i.conf")
  else()
    set(config "/etc/tarn-rendezvous.conf")
  endif()
  file(READ ${unpacked}/lib/systemd/system/tarn-rendezvous${instance}.service unit)
  foreach(line "User=tarn-rendezvous" "ExecStart=/usr/bin/tarn-rendezvous --config ${config}"
               "RestartPreventExitStatus=2" "WantedBy=multi-user.target")
    string(FIND "${unit}" "${line}" at)
    if(at EQUAL -1)
      string(APPEND failures "\ntarn-rendezvous${instance}.service lacks ${line}")
    endif()
  endforeach()
endforeach()
execute_process(COMMAND ${DPKG_DEB} --info ${server_deb} postinst OUTPUT_VARIABLE postinst)
if(NOT postinst MATCHES "adduser --system")
  string(APPEND failures "\ntarn-rendezvous: postinst creates no system user")
endif()

if(failures)
  message(FATAL_ERROR "Debian packages:${failures}")
endif()
message("Debian packages: every check passed")
