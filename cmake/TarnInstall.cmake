# Install helpers for the files a package puts outside the usual prefix folders.

# Installs SOURCE as NAME into SYSTEM_DIR for the prefix /usr, else into <prefix>/PREFIX_DIR
# (see TarnInstallSystemFile.cmake); CONFIGURE replaces @TARN_UNIT_BINDIR@ and @TARN_UNIT_SYSCONFDIR@.
#   tarn_install_system_file(SOURCE f NAME n SYSTEM_DIR /etc PREFIX_DIR etc COMPONENT c [CONFIGURE])
function(tarn_install_system_file)
  cmake_parse_arguments(PARSE_ARGV 0 arg "CONFIGURE" "SOURCE;NAME;SYSTEM_DIR;PREFIX_DIR;COMPONENT" "")
  set(work ${CMAKE_CURRENT_BINARY_DIR}/system-files)
  file(MAKE_DIRECTORY ${work})
  set(configure OFF)
  if(arg_CONFIGURE)
    set(configure ON)
  endif()
  install(CODE "
    set(TARN_SOURCE \"${arg_SOURCE}\")
    set(TARN_NAME \"${arg_NAME}\")
    set(TARN_SYSTEM_DIR \"${arg_SYSTEM_DIR}\")
    set(TARN_PREFIX_DIR \"${arg_PREFIX_DIR}\")
    set(TARN_CONFIGURE ${configure})
    set(TARN_WORK_DIR \"${work}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/TarnInstallSystemFile.cmake\")"
    COMPONENT ${arg_COMPONENT})
endfunction()

# Installs a man page gzipped (as Debian wants it) into <datadir>/man/man<section>; @PROJECT_VERSION@
# in it becomes the project's version.
#   tarn_install_man_page(<file.section> <component>)
function(tarn_install_man_page page component)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/man)
  configure_file(${page} ${dir}/source/${name} @ONLY)
  set(out ${dir}/${name}.gz)
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E copy ${dir}/source/${name} ${dir}/${name}
                     COMMAND gzip -9 -n -f ${dir}/${name}
                     DEPENDS ${dir}/source/${name} VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_DATADIR}/man/man${section} COMPONENT ${component})
endfunction()
