# Installs the build into PREFIX and checks that every program and its man
# page are there and that the installed programs run.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
include(GNUInstallDirs)
foreach(program beacondec beaconsim beaconscan beaconmon beaconplot)
  if(NOT EXISTS ${PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/${program}.1)
    message(FATAL_ERROR "not installed: the man page of ${program}")
  endif()
  set(option --version)
  if(program STREQUAL beacondec)
    set(option -V)
  endif()
  execute_process(COMMAND ${PREFIX}/${CMAKE_INSTALL_BINDIR}/${program} ${option}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "${program} ${VERSION}\n")
    message(FATAL_ERROR "${program} does not run as installed: ${rc} ${out}")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
