# Builds a host program with nothing but the compiler and `pkg-config --cflags --libs tarn_client`
# against the staged install, then runs it unless RUN is OFF. PREFIX: the install; SOURCE: the
# host's source file; BUILD: a folder for the program; OUTPUT: its name; COMPILER: the compiler;
# FLAGS: its options, a list.
find_program(PKG_CONFIG pkg-config REQUIRED)
file(GLOB pc_files "${PREFIX}/lib*/pkgconfig/tarn_client.pc" "${PREFIX}/lib/*/pkgconfig/tarn_client.pc")
if(NOT pc_files)
  message(FATAL_ERROR "no tarn_client.pc below ${PREFIX}: stage the build with scripts/build.sh")
endif()
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs tarn_client OUTPUT_VARIABLE flags
                RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs tarn_client failed: ${rc}")
endif()
message("pkg-config --cflags --libs tarn_client: ${flags}")
separate_arguments(flag_list UNIX_COMMAND "${flags}")
separate_arguments(FLAGS UNIX_COMMAND "${FLAGS}")
execute_process(COMMAND ${PKG_CONFIG} --variable=libdir tarn_client OUTPUT_VARIABLE libdir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(MAKE_DIRECTORY ${BUILD})
# The command a host's Makefile would run; the run path stands in for an installed library.
execute_process(COMMAND ${COMPILER} ${FLAGS} -o ${BUILD}/${OUTPUT} ${SOURCE} ${flag_list} -Wl,-rpath,${libdir}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host does not compile with the pkg-config flags: ${rc}")
endif()
if(DEFINED RUN AND NOT RUN)
  return()
endif()
execute_process(COMMAND ${BUILD}/${OUTPUT} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                WORKING_DIRECTORY ${BUILD})
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host built with pkg-config failed: ${rc}")
endif()
