# Installs the files that depend on the install prefix: the configuration
# template, the configuration, the service unit, the compressed man pages
# and the package documents. Runs at install time (make install, CPack);
# OWL_SOURCE_DIR and OWL_BINARY_DIR are set by the install rules before it.
# With the prefix /usr (the package) the configuration's paths point to /etc
# and /var/log, and only the template share/owl/owl.cfg is installed: the
# package's postinst makes /etc/owl/owl.cfg from it once, with a password of
# its own. Under any other prefix both stay below it, and the configuration
# is installed beside the template (with the placeholder password).
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(root "")
else()
  set(root "${prefix}")
endif()
set(OWL_SBINDIR "${prefix}/sbin")
set(OWL_SCRIPTDIR "${prefix}/share/owl/scripts")
set(OWL_CFGDIR "${root}/etc/owl")
set(OWL_CFG "${OWL_CFGDIR}/owl.cfg")
set(OWL_LOGDIR "${root}/var/log/owl")
# Replaced by a random password when the package is installed; owl -t warns
# about it.
set(OWL_PASSWORD "change-me")

set(stage "${OWL_BINARY_DIR}/install-stage")
file(MAKE_DIRECTORY "${stage}")
configure_file("${OWL_SOURCE_DIR}/packaging/owl.cfg.in" "${stage}/owl.cfg" @ONLY)
configure_file("${OWL_SOURCE_DIR}/packaging/owl.service.in" "${stage}/owl.service" @ONLY)
file(INSTALL "${stage}/owl.cfg" DESTINATION "${prefix}/share/owl"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
if(NOT prefix STREQUAL "/usr")
  file(INSTALL "${stage}/owl.cfg" DESTINATION "${OWL_CFGDIR}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
file(INSTALL "${stage}/owl.service" DESTINATION "${prefix}/lib/systemd/system"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# gzip -n: no name or time stamp inside, so that builds are reproducible.
function(owl_gzip src dst)
  execute_process(COMMAND gzip -9n -c "${src}" OUTPUT_FILE "${dst}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${src} failed")
  endif()
endfunction()

foreach(page owl.8 owlctl.1 owl.cfg.5 check_owl.1)
  string(REGEX REPLACE ".*\\." "" section "${page}")
  owl_gzip("${OWL_SOURCE_DIR}/packaging/man/${page}" "${stage}/${page}.gz")
  file(INSTALL "${stage}/${page}.gz" DESTINATION "${prefix}/share/man/man${section}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

owl_gzip("${OWL_SOURCE_DIR}/packaging/debian/changelog" "${stage}/changelog.gz")
file(INSTALL "${OWL_SOURCE_DIR}/packaging/debian/copyright" "${stage}/changelog.gz"
     "${OWL_SOURCE_DIR}/docs/commands.md"
     DESTINATION "${prefix}/share/doc/owl"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
