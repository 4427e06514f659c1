# Installs the build into a fresh prefix as a board's image would take it:
# everything is there, the service files name the installed executable, and
# the manual page renders without a warning.
#   cmake -DBUILD=dir -DPREFIX=dir -DLIBDIR=lib -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
foreach(f bin/quarn include/quarn.h ${LIBDIR}/libquarn.so.1 ${LIBDIR}/libquarn.a ${LIBDIR}/pkgconfig/quarn.pc
          ${LIBDIR}/cmake/quarn/quarnConfig.cmake share/man/man1/quarn.1 share/doc/quarn/README.md)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ ${PREFIX}/lib/systemd/system/quarn.service unit)
file(READ ${PREFIX}/etc/init.d/quarn init)
if(NOT unit MATCHES "\nExecStart=${PREFIX}/bin/quarn " OR NOT init MATCHES "\nQUARN_BIN=\\\${QUARN_BIN:-${PREFIX}/bin/quarn}\n")
  message(FATAL_ERROR "the service files do not name ${PREFIX}/bin/quarn:\n${unit}\n${init}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 man --warnings -l ${PREFIX}/share/man/man1/quarn.1
                OUTPUT_QUIET ERROR_VARIABLE warnings COMMAND_ERROR_IS_FATAL ANY)
if(NOT warnings STREQUAL "")
  message(FATAL_ERROR "quarn.1: ${warnings}")
endif()
