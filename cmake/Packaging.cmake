# Manual pages, documentation, the Java jars and the Debian packages
# (scripts/package.sh runs CPack's DEB generator on a configured build tree).
#
# Install components:
#   Unspecified  the programs (bin/)                       cmake --install, package
#   libraries    the coordinator's libraries in lib/       cmake --install
#   unit         dtcd.service naming the install prefix    cmake --install
#   devel        the C++ client and participant files      cmake --install
#   docs         manual pages and documentation            cmake --install, package
#   java         the jars in share/java                    cmake --install, package
#   deb          the libraries in lib/morvalen, the sandboxed units, the
#                package's copyright and changelog         package only
if(WIN32)
  return()
endif()

set(MORVALEN_DEBIAN_DIR ${CMAKE_SOURCE_DIR}/cmake/debian)
set(MORVALEN_MAN_PAGES morvalen.8 dtcd.8 dtcctl.8 morvalenctl.1 dtc-pg-enlist.1)

# The programs find the coordinator's libraries beside them: lib/morvalen in
# the package, lib after cmake --install.
foreach(target morvalen dtcd dtcctl dtc-pg-enlist)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib/morvalen:\$ORIGIN/../lib")
  endif()
endforeach()

# The two export layers call only into libdtcclient.so; Debian wants every
# shared library to name the C library it runs with all the same.
foreach(target msdtcprx xolehlp)
  if(TARGET ${target})
    target_link_options(${target} PRIVATE LINKER:--no-as-needed)
  endif()
endforeach()

# Manual pages, compressed as Debian ships them (man reads them either way).
find_program(MORVALEN_GZIP gzip REQUIRED)
set(man_dir ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${man_dir} ${CMAKE_BINARY_DIR}/java-links)
foreach(page ${MORVALEN_MAN_PAGES})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page})
  execute_process(COMMAND ${MORVALEN_GZIP} -9nc ${CMAKE_SOURCE_DIR}/docs/man/${page}
    OUTPUT_FILE ${man_dir}/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${man_dir}/${page}.gz DESTINATION share/man/man${section} COMPONENT docs)
endforeach()

file(GLOB doc_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${doc_pages} DESTINATION share/doc/morvalen COMPONENT docs)

# The jars, under Debian's convention for Java libraries: NAME-VERSION.jar
# and NAME.jar, a link to it.
foreach(jar morvalen_xa morvalen_xa_bitronix)
  if(TARGET ${jar})
    get_target_property(jar_file ${jar} JAR_FILE)
    get_filename_component(jar_name ${jar_file} NAME_WE)
    install(FILES ${jar_file} DESTINATION share/java RENAME ${jar_name}-${PROJECT_VERSION}.jar COMPONENT java)
    file(CREATE_LINK ${jar_name}-${PROJECT_VERSION}.jar ${CMAKE_BINARY_DIR}/java-links/${jar_name}.jar SYMBOLIC)
    install(FILES ${CMAKE_BINARY_DIR}/java-links/${jar_name}.jar DESTINATION share/java COMPONENT java)
  endif()
endforeach()

# What only the package has: the private libraries (dtc/CMakeLists.txt), the
# sandboxed units run as the user the maintainer scripts make, copyright and
# changelog for each package.
install(FILES ${MORVALEN_DEBIAN_DIR}/dtcd.service ${MORVALEN_DEBIAN_DIR}/Morvalen.service
  DESTINATION /lib/systemd/system PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  COMPONENT deb EXCLUDE_FROM_ALL)
execute_process(COMMAND ${MORVALEN_GZIP} -9nc ${MORVALEN_DEBIAN_DIR}/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MORVALEN_DEBIAN_DIR}/changelog)
foreach(package morvalen libmorvalen-java)
  if(package STREQUAL "morvalen")
    set(component deb)
  else()
    set(component java)
    if(NOT TARGET morvalen_xa)
      continue()
    endif()
  endif()
  install(FILES ${MORVALEN_DEBIAN_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
    DESTINATION share/doc/${package} COMPONENT ${component}
    EXCLUDE_FROM_ALL)
endforeach()

# CPack: two Debian packages, morvalen and (with a JDK) libmorvalen-java.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvalen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Morvalen developers")
set(CPACK_PACKAGE_CONTACT "Morvalen developers <morvalen-dev@lists.morvalen.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL Unspecified docs deb)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP morvalen)
set(CPACK_COMPONENT_DOCS_GROUP morvalen)
set(CPACK_COMPONENT_DEB_GROUP morvalen)
if(TARGET morvalen_xa)
  list(APPEND CPACK_COMPONENTS_ALL java)
  set(CPACK_COMPONENT_JAVA_GROUP java)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_MORVALEN_PACKAGE_NAME morvalen)
set(CPACK_DEBIAN_MORVALEN_DESCRIPTION
  "XA transaction branches for remote transaction managers
Morvalen lets remote XA transaction managers run distributed-transaction
branches through the local transaction coordinator over TCP port 1439.

This package holds the service (morvalen), the coordinator (dtcd) with its
client libraries libmsdtcprx.so and libxolehlp.so, the tools dtcctl,
morvalenctl and dtc-pg-enlist, both systemd units (run as the system user
morvalen), manual pages and documentation.")
set(CPACK_DEBIAN_MORVALEN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in the package's staging root: the private libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/lib/morvalen)
set(CPACK_DEBIAN_MORVALEN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_MORVALEN_PACKAGE_CONTROL_EXTRA
  ${MORVALEN_DEBIAN_DIR}/postinst ${MORVALEN_DEBIAN_DIR}/prerm ${MORVALEN_DEBIAN_DIR}/postrm)

set(CPACK_DEBIAN_JAVA_PACKAGE_NAME libmorvalen-java)
set(CPACK_DEBIAN_JAVA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JAVA_PACKAGE_RECOMMENDS "libbtm-java, libgeronimo-jta-1.2-spec-java")
set(CPACK_DEBIAN_JAVA_DESCRIPTION
  "Java XAResource for the Morvalen service
morvalen-xa.jar is an XAResource that runs its branches through a Morvalen
service; morvalen-xa-bitronix.jar is its resource producer for Bitronix.")
include(CPack)

if(BUILD_TESTING)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
endif()
