# SPDX-License-Identifier: Apache-2.0
# The fleet layer's shipped files, in the flash-update package (component
# tool):
#   - the Ansible collection flash_update.cards: built with ansible-galaxy
#     into <build>/ansible/flash_update-cards-<version>.tar.gz, installed
#     from that tarball into <build>/ansible/collections (what the tests run),
#     and shipped as that installed tree under
#     share/ansible/collections/ansible_collections/flash_update/cards, one of
#     ansible's default collection paths, plus the tarball itself under
#     share/flash-update/ansible for other control nodes;
#   - the systemd service and timer that refresh the node_exporter textfile
#     metrics, and the Prometheus alerting rules over them under
#     share/flash-update/prometheus.

include(GNUInstallDirs)
get_filename_component(fu_fleet_source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

file(STRINGS ${fu_fleet_source}/ansible/galaxy.yml fu_collection_version_line REGEX "^version:")
string(REGEX REPLACE "^version:[ ]*" "" fu_collection_version "${fu_collection_version_line}")
find_program(FLASH_UPDATE_ANSIBLE_GALAXY ansible-galaxy REQUIRED)

if(NOT fu_collection_version)
  message(FATAL_ERROR "ansible/galaxy.yml names no version")
endif()

set(fu_collection_dir ${CMAKE_BINARY_DIR}/ansible)
set(FLASH_UPDATE_COLLECTION_TARBALL ${fu_collection_dir}/flash_update-cards-${fu_collection_version}.tar.gz)
set(FLASH_UPDATE_COLLECTIONS_PATH ${fu_collection_dir}/collections)
file(GLOB_RECURSE fu_collection_sources CONFIGURE_DEPENDS
     ${fu_fleet_source}/ansible/*.py ${fu_fleet_source}/ansible/*.yml ${fu_fleet_source}/ansible/*.yaml
     ${fu_fleet_source}/ansible/*.md ${fu_fleet_source}/ansible/COPYING)
add_custom_command(
  OUTPUT ${FLASH_UPDATE_COLLECTION_TARBALL} ${fu_collection_dir}/installed.stamp
  COMMAND ${CMAKE_COMMAND} -E make_directory ${fu_collection_dir}
  COMMAND ${FLASH_UPDATE_ANSIBLE_GALAXY} collection build --force --output-path ${fu_collection_dir}
          ${fu_fleet_source}/ansible
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${FLASH_UPDATE_COLLECTIONS_PATH}
  COMMAND ${FLASH_UPDATE_ANSIBLE_GALAXY} collection install --force --offline -p ${FLASH_UPDATE_COLLECTIONS_PATH}
          ${FLASH_UPDATE_COLLECTION_TARBALL}
  COMMAND ${CMAKE_COMMAND} -E touch ${fu_collection_dir}/installed.stamp
  DEPENDS ${fu_collection_sources}
  COMMENT "Building the Ansible collection flash_update.cards"
  VERBATIM)
add_custom_target(flash_update_collection ALL DEPENDS ${FLASH_UPDATE_COLLECTION_TARBALL}
                                                      ${fu_collection_dir}/installed.stamp)
install(DIRECTORY ${FLASH_UPDATE_COLLECTIONS_PATH}/ansible_collections/flash_update/cards
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/flash_update
        COMPONENT tool)
install(FILES ${FLASH_UPDATE_COLLECTION_TARBALL} DESTINATION ${CMAKE_INSTALL_DATADIR}/flash-update/ansible
        COMPONENT tool)

# systemd reads lib/systemd/system under /usr (and /usr/local); not multiarch.
install(FILES ${fu_fleet_source}/packaging/flash-update-metrics.service
              ${fu_fleet_source}/packaging/flash-update-metrics.timer
        DESTINATION lib/systemd/system COMPONENT tool)
install(FILES ${fu_fleet_source}/packaging/flash-update.rules.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/flash-update/prometheus COMPONENT tool)
