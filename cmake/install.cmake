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

# The date every generated file and the Debian package carry: the
# builder's SOURCE_DATE_EPOCH, else the newest entry of the changelog (as
# Debian's own builds take it), so that two builds are byte-identical.
set(velnor_changelog ${CMAKE_SOURCE_DIR}/packaging/changelog)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(velnor_source_date $ENV{SOURCE_DATE_EPOCH})
else()
  file(STRINGS ${velnor_changelog} trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^.*>  " "" trailer_date "${trailer}")
  execute_process(COMMAND date -u -d "${trailer_date}" +%s
                  OUTPUT_VARIABLE velnor_source_date
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
set(velnor_doc_dir ${CMAKE_BINARY_DIR}/package-doc)

# Manual pages, written for people in scdoc's markup (docs/man), compressed
# as Debian installs them.
find_program(SCDOC scdoc)
if(SCDOC)
  foreach(tool velnor-pack velnor-sim velnor-bootflag)
    set(source ${CMAKE_SOURCE_DIR}/docs/man/${tool}.1.scd)
    set(page ${velnor_doc_dir}/${tool}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${velnor_doc_dir}
      # A shell command line (not VERBATIM): the pipe and redirections.
      COMMAND SOURCE_DATE_EPOCH=${velnor_source_date} ${SCDOC} < ${source}
              | gzip -9n > ${page}
      DEPENDS ${source}
      COMMENT "Manual page of ${tool}")
    list(APPEND velnor_man_pages ${page})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${velnor_man_pages})
  install(FILES ${velnor_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "scdoc not found: no manual pages")
endif()

# Debian's documentation of a package: its copyright and its changelog,
# compressed when the build is configured (and again when it changes).
set(velnor_changelog_gz ${velnor_doc_dir}/changelog.gz)
file(MAKE_DIRECTORY ${velnor_doc_dir})
execute_process(COMMAND gzip -9n INPUT_FILE ${velnor_changelog}
                OUTPUT_FILE ${velnor_changelog_gz} COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${velnor_changelog})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${velnor_changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velnor-tools)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/completion/velnor-pack
              ${CMAKE_SOURCE_DIR}/packaging/completion/velnor-sim
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

set(CPACK_PACKAGE_NAME velnor-tools)
set(CPACK_PACKAGE_VENDOR velnor)
set(CPACK_PACKAGE_CONTACT "velnor developers <velnor@velnor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "velnor firmware packaging tool and simulated device")
set(CPACK_PACKAGE_DESCRIPTION
    "velnor-pack makes, inspects, signs and checks the firmware packages a
velnor device installs; velnor-sim is a simulated device on which the
device's own programs install them and boot, for trying updates, rescues
and failures on a workstation or in a pipeline.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# cpack reads SOURCE_DATE_EPOCH from its own environment for every time
# stamp in the archive.
set(velnor_cpack_config ${CMAKE_BINARY_DIR}/velnor-cpack-config.cmake)
file(WRITE ${velnor_cpack_config}
     "set(ENV{SOURCE_DATE_EPOCH} ${velnor_source_date})\n")
set(CPACK_PROJECT_CONFIG_FILE ${velnor_cpack_config})
include(CPack)
