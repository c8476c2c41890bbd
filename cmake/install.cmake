# What `cmake --install` puts where, and the Debian package of the host
# tools (`cpack -G DEB` in the host build).
if(CMAKE_CROSSCOMPILING)
  # The device programs, where the initramfs runs them.
  install(TARGETS velnor-bootstrap DESTINATION sbin)
  install(TARGETS velnor-wdog DESTINATION usr/sbin)
  # For the firmware's root file system, not the initramfs.
  install(TARGETS velnor-bootflag DESTINATION usr/bin)
  return()
endif()
if(VELNOR_FUZZ OR VELNOR_SANITIZE)
  return()
endif()

install(TARGETS velnor-pack velnor-sim DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS velnor-bootstrap-sim velnor-wdog-sim velnor-bootflag-sim
                velnor-bootstrap-keyfile-sim
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/velnor)

# Manual pages from the same text as --help.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  # velnor-bootflag is a device program: its page comes from the simulated
  # device's build of it, which has the same --help.
  foreach(tool velnor-pack velnor-sim velnor-bootflag)
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    set(program ${tool})
    set(name ${tool})
    if(tool STREQUAL velnor-bootflag)
      set(program velnor-bootflag-sim)
      set(name "read and set the boot flag register from the firmware")
    endif()
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --output=${page}
              --name=${name} $<TARGET_FILE:${program}>
      DEPENDS ${program}
      COMMENT "Manual page of ${tool}")
    list(APPEND velnor_man_pages ${page})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${velnor_man_pages})
  install(FILES ${velnor_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no manual pages")
endif()

set(CPACK_PACKAGE_NAME velnor-tools)
set(CPACK_PACKAGE_VENDOR velnor)
set(CPACK_PACKAGE_CONTACT "velnor developers <velnor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "velnor firmware packaging tool and simulated device")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
