# Installs the build into PREFIX and checks that every installed file is
# there and that the installed programs run.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
include(GNUInstallDirs)
foreach(f ${CMAKE_INSTALL_BINDIR}/beacondec ${CMAKE_INSTALL_BINDIR}/beaconsim
    ${CMAKE_INSTALL_BINDIR}/beaconscan ${CMAKE_INSTALL_BINDIR}/beaconmon
    ${CMAKE_INSTALL_BINDIR}/beaconplot ${CMAKE_INSTALL_MANDIR}/man1/beaconmon.1
    ${CMAKE_INSTALL_MANDIR}/man1/beacondec.1 ${CMAKE_INSTALL_MANDIR}/man1/beaconsim.1
    ${CMAKE_INSTALL_MANDIR}/man1/beaconscan.1 ${CMAKE_INSTALL_MANDIR}/man1/beaconplot.1)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
function(expect_version program option)
  execute_process(COMMAND ${PREFIX}/${CMAKE_INSTALL_BINDIR}/${program} ${option}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "${program} ${VERSION}\n")
    message(FATAL_ERROR "${program} does not run as installed: ${rc} ${out}")
  endif()
endfunction()
expect_version(beacondec -V)
expect_version(beaconsim --version)
expect_version(beaconscan --version)
expect_version(beaconmon --version)
expect_version(beaconplot --version)
file(REMOVE_RECURSE ${PREFIX})
