# Runs at install time (from install(CODE)), where CMAKE_INSTALL_PREFIX is the
# prefix the files will really live under: /usr inside CPack's .deb staging,
# the configured prefix for `cmake --install`. Files that name absolute paths
# are configured here rather than at configure time for that reason.
#
# Expects: KESTRANE_TEMPLATE (source), KESTRANE_OUTPUT (file in the build tree),
# KESTRANE_DESTINATION (relative to the prefix), KESTRANE_GZIP (TRUE or FALSE)
# and the variables the template names, given relative to the prefix:
# KESTRANE_BINDIR and KESTRANE_DATADIR.

set(KESTRANE_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${KESTRANE_BINDIR}")
set(KESTRANE_FULL_DATADIR "${CMAKE_INSTALL_PREFIX}/${KESTRANE_DATADIR}")
set(KESTRANE_PROGRAM_PATH "${KESTRANE_FULL_BINDIR}/kestrane")

configure_file("${KESTRANE_TEMPLATE}" "${KESTRANE_OUTPUT}" @ONLY)
set(installed "${KESTRANE_OUTPUT}")
if(KESTRANE_GZIP)
    # -n leaves the name and time out, so the same input packs the same bytes.
    execute_process(COMMAND gzip -9nf "${KESTRANE_OUTPUT}" COMMAND_ERROR_IS_FATAL ANY)
    set(installed "${KESTRANE_OUTPUT}.gz")
endif()
file(INSTALL "${installed}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${KESTRANE_DESTINATION}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
