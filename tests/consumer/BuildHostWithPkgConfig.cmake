# Builds the host program with nothing but the compiler and `pkg-config --cflags --libs tarn_client`
# against the staged install, then runs it. PREFIX: the install; SOURCE: the host's main.cpp;
# BUILD: a folder for the program; CXX: the compiler.
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
execute_process(COMMAND ${PKG_CONFIG} --variable=libdir tarn_client OUTPUT_VARIABLE libdir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(MAKE_DIRECTORY ${BUILD})
# The command a host's Makefile would run; the run path stands in for an installed library.
execute_process(COMMAND ${CXX} -std=c++17 -o ${BUILD}/tarn_host_pc ${SOURCE} ${flag_list} -Wl,-rpath,${libdir}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host does not compile with the pkg-config flags: ${rc}")
endif()
execute_process(COMMAND ${BUILD}/tarn_host_pc RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                WORKING_DIRECTORY ${BUILD})
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host built with pkg-config failed: ${rc}")
endif()
