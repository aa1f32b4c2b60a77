# Script mode (cmake -P): every input comes from the add_test() command line.

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/run_command.cmake)

function(expect_consumer_output label)
  string(STRIP "${run_output}" printed)
  if(NOT printed STREQUAL EXPECTED)
    message(FATAL_ERROR "${label} consumer printed\n  ${printed}\nexpected\n  ${EXPECTED}")
  endif()
  message(STATUS "${label} consumer: ${printed}")
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed
    ${INCLUDEDIR}/pytovrik_video.h
    ${INCLUDEDIR}/pytovrik_video_file.h
    ${LIBDIR}/libpytovrik_video.so
    ${LIBDIR}/libpytovrik_video.so.1
    ${LIBDIR}/libpytovrik_video_file.so.1
    ${LIBDIR}/pkgconfig/pytovrik_video.pc
    ${LIBDIR}/cmake/pytovrik_video/pytovrik_videoConfig.cmake
    ${LIBDIR}/cmake/pytovrik_video/pytovrik_videoConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "the install did not create ${installed}")
  endif()
endforeach()

# Hosts link against the development name but load the ABI-versioned SONAME.
if(READELF)
  run(${READELF} -d ${prefix}/${LIBDIR}/libpytovrik_video.so)
  if(NOT run_output MATCHES "SONAME[^\n]*\\[libpytovrik_video\\.so\\.1\\]")
    message(FATAL_ERROR "the installed library's SONAME is not libpytovrik_video.so.1:\n${run_output}")
  endif()
endif()

# pkg-config: nothing but the .pc file under the prefix is known.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs pytovrik_video)
separate_arguments(flags UNIX_COMMAND "${run_output}")
run(${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror
    ${CONSUMER_DIR}/consumer.c ${flags} -o ${WORK_DIR}/consumer-pkg-config)
set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
run(${WORK_DIR}/consumer-pkg-config ${STREAM})
expect_consumer_output(pkg-config)
unset(ENV{LD_LIBRARY_PATH})

# find_package: the imported target must carry the include directory and the
# library location (CMake puts the latter into the executable's RUNPATH).
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer-build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-build)
run(${WORK_DIR}/consumer-build/consumer ${STREAM})
expect_consumer_output(find_package)
