# SPDX-License-Identifier: Apache-2.0
# Installation and Debian packages.
#
#   cmake --install <build> [--prefix DIR]      everything below
#   cpack --config <build>/CPackConfig.cmake    flash-update, flash-update-dev
#                                               and flash-update-vcard .deb files
#
# Components, one Debian package each:
#   tool   flash-update: the program, its manual page, bash completion and the
#          tmpfiles entry for the scratch directory /tmp/korvex
#   dev    flash-update-dev: the static libraries other programs link (card
#          discovery and IPC, the card lock and address check, the
#          misc-device channel, the logger), their headers, a CMake package
#          (find_package(flash_update)) and pkg-config files
#   vcard  flash-update-vcard: the virtual card's launcher
#
# The program goes to bin, not sbin: it is run by operators and their scripts,
# and by ordinary users where the card's device nodes are opened to a group
# (and always under the virtual card, which needs no privileges); Debian puts
# sbin on root's PATH only. Its manual page stays in section 8, system
# administration, which is what the tool is.
#
# Every target is guarded: in a tree whose folders are still being written a
# missing target only leaves its files out.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FLASH_UPDATE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/flash_update)
set(FLASH_UPDATE_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(fu_pkg_dir ${CMAKE_CURRENT_LIST_DIR}/../packaging)
get_filename_component(fu_pkg_dir ${fu_pkg_dir} ABSOLUTE)
get_filename_component(fu_source_dir ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# --- the program ---------------------------------------------------------

if(TARGET flash-update)
  install(TARGETS flash-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()
if(TARGET flashctl)
  install(TARGETS flashctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()

# Manual pages are installed compressed, as Debian keeps them (man reads
# either). gzip -n leaves the name and time out, so the file is reproducible.
find_program(FLASH_UPDATE_GZIP gzip)
set(fu_man_pages flash-update.8 flashctl.8 flash-update-vcard.1)
set(fu_man_outputs)
foreach(page IN LISTS fu_man_pages)
  if(FLASH_UPDATE_GZIP)
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/doc/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
      COMMAND ${FLASH_UPDATE_GZIP} -9 -n -c ${fu_source_dir}/doc/${page} > ${CMAKE_BINARY_DIR}/doc/${page}.gz
      DEPENDS ${fu_source_dir}/doc/${page}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
    list(APPEND fu_man_outputs ${CMAKE_BINARY_DIR}/doc/${page}.gz)
    set(fu_man_file_${page} ${CMAKE_BINARY_DIR}/doc/${page}.gz)
  else()
    set(fu_man_file_${page} ${fu_source_dir}/doc/${page})
  endif()
endforeach()
if(fu_man_outputs)
  add_custom_target(flash_update_man ALL DEPENDS ${fu_man_outputs})
endif()

install(FILES ${fu_man_file_flash-update.8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tool)
if(TARGET flashctl)
  install(FILES ${fu_man_file_flashctl.8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tool)
endif()
if(TARGET flashctl)
  install(FILES ${fu_source_dir}/completion/flashctl
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
endif()
install(FILES ${fu_source_dir}/completion/flash-update
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
# systemd-tmpfiles reads lib/tmpfiles.d under /usr and /usr/local alike; the
# directory is not multiarch, so it is not CMAKE_INSTALL_LIBDIR.
install(FILES ${fu_pkg_dir}/flash-update.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME flash-update.conf COMPONENT tool)

# --- the libraries -------------------------------------------------------

# The interfaces other programs use: card discovery and the IPC handle, the
# card lock every program takes before it changes a card and the card
# address check, the misc-device channel with its driver header, the logger
# and the trace facility with its levels. Each library declares its headers
# (fu_public_headers(), cmake/public_headers.cmake); they install under
# include/flash-update/<folder>/ and are included as
# "flash-update/<folder>/<header>".

# The exported libraries and every library of this project they link, so the
# export set is closed whatever the folders link among themselves.
set(fu_exported_libs)
set(fu_pending fu_card_ipc fu_ipcdrv fu_logging fu_flash_client)
while(fu_pending)
  list(POP_FRONT fu_pending fu_lib)
  if(NOT TARGET ${fu_lib} OR fu_lib IN_LIST fu_exported_libs)
    continue()
  endif()
  get_target_property(fu_imported ${fu_lib} IMPORTED)
  get_target_property(fu_type ${fu_lib} TYPE)
  if(fu_imported OR NOT fu_type MATCHES "^(STATIC|SHARED|INTERFACE)_LIBRARY$")
    continue()
  endif()
  list(APPEND fu_exported_libs ${fu_lib})
  get_target_property(fu_links ${fu_lib} INTERFACE_LINK_LIBRARIES)
  if(fu_links)
    foreach(fu_dep IN LISTS fu_links)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" fu_dep "${fu_dep}")
      if(TARGET ${fu_dep})
        list(APPEND fu_pending ${fu_dep})
      endif()
    endforeach()
  endif()
endwhile()

# Packages the exported libraries need found by a consumer.
set(FLASH_UPDATE_CONFIG_DEPENDENCIES "")
set(fu_link_text "")
foreach(fu_lib IN LISTS fu_exported_libs)
  get_target_property(fu_links ${fu_lib} INTERFACE_LINK_LIBRARIES)
  if(fu_links)
    string(APPEND fu_link_text ";${fu_links}")
  endif()
endforeach()
foreach(fu_pkg IN ITEMS Threads fmt spdlog OpenSSL Boost)
  if(fu_link_text MATCHES "${fu_pkg}::")
    string(APPEND FLASH_UPDATE_CONFIG_DEPENDENCIES "find_dependency(${fu_pkg})\n")
  endif()
endforeach()

if(fu_exported_libs)
  install(TARGETS ${fu_exported_libs} EXPORT flash_update_targets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
          FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(EXPORT flash_update_targets NAMESPACE flash_update::
          FILE flash_update_targets.cmake
          DESTINATION ${FLASH_UPDATE_INSTALL_CMAKEDIR} COMPONENT dev)

  configure_package_config_file(
    ${fu_pkg_dir}/flash_updateConfig.cmake.in
    ${CMAKE_BINARY_DIR}/packaging/flash_updateConfig.cmake
    INSTALL_DESTINATION ${FLASH_UPDATE_INSTALL_CMAKEDIR})
  # 0.x: only the same minor version promises the same interface.
  write_basic_package_version_file(
    ${CMAKE_BINARY_DIR}/packaging/flash_updateConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/flash_updateConfig.cmake
                ${CMAKE_BINARY_DIR}/packaging/flash_updateConfigVersion.cmake
          DESTINATION ${FLASH_UPDATE_INSTALL_CMAKEDIR} COMPONENT dev)

  # pkg-config files find their prefix from their own place, so the same
  # files serve /usr, /usr/local, a --prefix and a DESTDIR staging tree.
  file(RELATIVE_PATH FLASH_UPDATE_PC_TO_PREFIX
       /prefix/${FLASH_UPDATE_INSTALL_PKGCONFIGDIR} /prefix)
  string(REGEX REPLACE "/$" "" FLASH_UPDATE_PC_TO_PREFIX "${FLASH_UPDATE_PC_TO_PREFIX}")
  set(fu_pc_files)
  if(TARGET fu_card_ipc AND TARGET fu_ipcdrv)
    list(APPEND fu_pc_files flash-update-ipc)
  endif()
  if(TARGET fu_logging)
    list(APPEND fu_pc_files flash-update-logging)
  endif()
  foreach(pc IN LISTS fu_pc_files)
    configure_file(${fu_pkg_dir}/${pc}.pc.in ${CMAKE_BINARY_DIR}/packaging/${pc}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${pc}.pc
            DESTINATION ${FLASH_UPDATE_INSTALL_PKGCONFIGDIR} COMPONENT dev)
  endforeach()
endif()

# --- the virtual card ----------------------------------------------------

set(fu_have_vcard OFF)
if(TARGET flash-update-vcard)
  set(fu_have_vcard ON)
  install(TARGETS flash-update-vcard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vcard)
  if(DEFINED fu_man_file_flash-update-vcard.1)
    install(FILES ${fu_man_file_flash-update-vcard.1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT vcard)
  endif()
endif()

# --- Debian packages -----------------------------------------------------

# Each package carries the licence terms in its documentation directory.
foreach(fu_component IN ITEMS tool dev vcard)
  if(fu_component STREQUAL "vcard" AND NOT fu_have_vcard)
    continue()
  endif()
  set(fu_doc_package flash-update)
  if(NOT fu_component STREQUAL "tool")
    set(fu_doc_package flash-update-${fu_component})
  endif()
  install(FILES ${fu_pkg_dir}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${fu_doc_package}
          COMPONENT ${fu_component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flash-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(NOT DEFINED CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "flash-update maintainers <root@localhost>")
endif()
# Each package's description begins with its own summary line, so no
# CPACK_PACKAGE_DESCRIPTION_SUMMARY, which would stand in front of every one.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool dev)
if(fu_have_vcard)
  list(APPEND CPACK_COMPONENTS_ALL vcard)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Library dependencies come from dpkg-shlibdeps where it is installed
# (dpkg-dev); otherwise they are the ones a Debian 12 build links.
find_program(FLASH_UPDATE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FLASH_UPDATE_DPKG_SHLIBDEPS)
  set(fu_shlibdeps ON)
else()
  set(fu_shlibdeps OFF)
endif()

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME flash-update)
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ${fu_shlibdeps})
# lspci finds the card's address (and the discovery queries use it).
if(fu_shlibdeps)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "pciutils")
else()
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
      "libc6, libgcc-s1, libstdc++6, libspdlog1.10, libfmt9, libssl3, pciutils")
endif()
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "flash-update-vcard")
set(CPACK_DEBIAN_TOOL_DESCRIPTION
"manage the flash memory of a PCIe network card
flash-update erases partitions and sectors, installs firmware images,
verifies them with SHA-512, selects the boot image, reports partitions,
firmware versions, card identity and secure-boot state, manages secure
boot, and has the card verify image signatures. Every operation is a
request to the card's firmware update service, carried over the misc
device of the vela_ipc driver or the fwctl device of the kvc_core driver.")
configure_file(${fu_pkg_dir}/postinst ${CMAKE_BINARY_DIR}/packaging/deb-tool/postinst
               COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
               GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/deb-tool/postinst)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME flash-update-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
# Static libraries: what they call is linked by the consumer. The logger's
# header includes spdlog's.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libspdlog-dev (>= 1:1.10), libfmt-dev, pkg-config | pkgconf")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "pciutils")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"flash-update libraries: card discovery, card lock, IPC channel and logger
Static libraries and headers for programs that talk to the card the way
flash-update does: card discovery (PCI functions, device nodes, card UUID
and serial number), the card lock that flash-update and flashctl take
before they change a card (a guard on the card's device nodes, exclusive
or shared) with the card address check, the IPC handle with its
misc-device and fwctl transports, the misc-device channel (including
endpoint bind and unbind) and the rotating logger with its boot-count
banner. Provides the CMake package flash_update (targets
flash_update::fu_card_ipc, flash_update::fu_ipcdrv,
flash_update::fu_logging) and the pkg-config modules flash-update-ipc
and flash-update-logging.")

set(CPACK_DEBIAN_VCARD_PACKAGE_NAME flash-update-vcard)
set(CPACK_DEBIAN_VCARD_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_VCARD_PACKAGE_SHLIBDEPS ${fu_shlibdeps})
# The launcher preloads libumockdev-preload.so.0, which the umockdev package
# ships (libumockdev0 holds the testbed library it links).
if(fu_shlibdeps)
  set(CPACK_DEBIAN_VCARD_PACKAGE_DEPENDS "umockdev")
else()
  set(CPACK_DEBIAN_VCARD_PACKAGE_DEPENDS
      "umockdev, libumockdev0, libssl3, libglib2.0-0, libc6, libgcc-s1, libstdc++6")
endif()
set(CPACK_DEBIAN_VCARD_PACKAGE_RECOMMENDS "flash-update")
set(CPACK_DEBIAN_VCARD_DESCRIPTION
"virtual network card for trying and testing flash-update
flash-update-vcard runs a command against an emulated card: its PCI
functions in sysfs, the vela_ipc misc node and the kvc_core fwctl node,
emulated with umockdev and answered by a model of the card's firmware
update service that keeps its flash on disk. For trying flash-update and
for tests without a card.")

include(CPack)
