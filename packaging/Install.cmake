# Install rules: the daemon and zqlog with their service files, man pages and
# documentation, and the client library with its header, CMake package ZqLog
# and pkg-config file zqlog.pc. Each file belongs to one component, and each
# component is one Debian package (packaging/Package.cmake):
#
#   runtime  zuvozadavid    <prefix>/sbin/ZuVozAdavid, <prefix>/bin/zqlog, <prefix>/bin/zqread,
#                           <etc>/init.d/zuvozadavid, <etc>/zqlog/Path.ini and LogServer.ini,
#                           <unitdir>/zuvozadavid.service, <unitdir>/zuvozadavid.socket,
#                           man pages 8 and 1
#   library  libzqlog1      <libdir>/libzqlog.so.<major>[.<minor>.<patch>]
#   dev      libzqlog-dev   <prefix>/include/zqlog/logmodule/*.h,
#                           <libdir>/libzqlog.so, <libdir>/libzqlog.a,
#                           <libdir>/cmake/ZqLog/, <libdir>/pkgconfig/zqlog.pc
#
# <etc> and <unitdir> are chosen when installing, from the prefix given then:
# /etc and /lib/systemd/system for the prefix /usr (a system install or a
# package), <prefix>/etc and <prefix>/lib/systemd/system for any other, so that
# `cmake --install <build> --prefix <stage>` writes nothing outside <stage>.
# The service files name the daemon's path under the prefix the build was
# configured with (-DCMAKE_INSTALL_PREFIX=/usr for a system or a package).

# A cross build for Debian installs its libraries into the multiarch
# directory, as GNUInstallDirs does by itself for native builds only.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZQ_SERVICE_NAME zuvozadavid)
set(ZQ_RUNTIME_PACKAGE zuvozadavid)
set(ZQ_LIBRARY_PACKAGE libzqlog${PROJECT_VERSION_MAJOR})
set(ZQ_DEV_PACKAGE libzqlog-dev)
set(ZQ_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zqlog)
# zq_read_constant(<header> <regex> <var>): the first group of <regex> in a
# line of <header>, the constant's one owner.
function(zq_read_constant header regex var)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${header} zq_line REGEX "${regex}")
  string(REGEX REPLACE ".*${regex}.*" "\\1" zq_value "${zq_line}")
  if(zq_value STREQUAL "" OR zq_value STREQUAL "${zq_line}")
    message(FATAL_ERROR "${header}: ${regex} not found")
  endif()
  set(${var} "${zq_value}" PARENT_SCOPE)
endfunction()

# The daemon's name, its default base directory, its log directory there and
# its port.
zq_read_constant(platform/DaemonPaths.h "define ZQ_DAEMON_NAME \"([^\"]+)\"" zq_daemon_name)
zq_read_constant(platform/DaemonPaths.h "define ZQ_DEFAULT_BASE_DIR \"([^\"]+)\"" ZQ_BASE_DIR)
zq_read_constant(platform/DaemonPaths.h "define ZQ_LOG_SUBDIR \"([^\"]+)\"" ZQ_LOG_SUBDIR)
zq_read_constant(platform/DaemonPaths.h "define ZQ_LOG_READERS_GROUP \"([^\"]+)\"" ZQ_LOG_READERS_GROUP)
zq_read_constant(platform/WireContract.h "kLogServerPort = ([0-9]+)" ZQ_LOG_PORT)
set(ZQ_DAEMON_BIN ${CMAKE_INSTALL_FULL_SBINDIR}/${zq_daemon_name})
set(ZQ_PID_FILE /run/${zq_daemon_name}/${zq_daemon_name}.pid)  # kPidFilePath
set(ZQ_LOG_ADDRESS 127.0.0.1:${ZQ_LOG_PORT})
# The unit has systemd create the base directory, which must lie in /var/log.
string(REGEX REPLACE "^/var/log/" "" ZQ_LOGS_DIRECTORY ${ZQ_BASE_DIR})
set(ZQ_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ZQ_PACKAGING_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging)

# zq_install_outside_prefix(<etc|unit> <subdir> <component> <FILE|PROGRAM> <file> [<name>])
# Installs <file> (as <name>) into <etc>/<subdir> or <unitdir>/<subdir>, see above.
function(zq_install_outside_prefix kind subdir component type file)
  set(name "")
  if(ARGC GREATER 5)
    set(name "RENAME \"${ARGV5}\"")
  endif()
  if(kind STREQUAL "etc")
    set(system_dir /etc)
    set(prefix_dir etc)
  else()
    set(system_dir /lib/systemd/system)
    set(prefix_dir lib/systemd/system)
  endif()
  install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
      set(zq_dir \"${system_dir}\")
    else()
      set(zq_dir \"\${CMAKE_INSTALL_PREFIX}/${prefix_dir}\")
    endif()
    file(INSTALL DESTINATION \"\${zq_dir}/${subdir}\" TYPE ${type} ${name} FILES \"${file}\")
  " COMPONENT ${component})
endfunction()

# --- runtime: the daemon, zqlog, service files, man pages
install(TARGETS ZuVozAdavid RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT runtime)
install(TARGETS zqlog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS zqread RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# zqread finds the daemon's log directory in the service's working directory.
target_compile_definitions(zqread PRIVATE ZQ_CONF_DIR="${ZQ_CONF_DIR}")

configure_file(${ZQ_PACKAGING_DIR}/service/zuvozadavid.service.in
               ${ZQ_PACKAGING_BINARY_DIR}/${ZQ_SERVICE_NAME}.service @ONLY)
configure_file(${ZQ_PACKAGING_DIR}/service/zuvozadavid.socket.in
               ${ZQ_PACKAGING_BINARY_DIR}/${ZQ_SERVICE_NAME}.socket @ONLY)
configure_file(${ZQ_PACKAGING_DIR}/service/zuvozadavid.init.in
               ${ZQ_PACKAGING_BINARY_DIR}/${ZQ_SERVICE_NAME}.init @ONLY)
file(WRITE ${ZQ_PACKAGING_BINARY_DIR}/Path.ini "${ZQ_BASE_DIR}\n")
zq_install_outside_prefix(unit "" runtime FILE ${ZQ_PACKAGING_BINARY_DIR}/${ZQ_SERVICE_NAME}.service)
zq_install_outside_prefix(unit "" runtime FILE ${ZQ_PACKAGING_BINARY_DIR}/${ZQ_SERVICE_NAME}.socket)
zq_install_outside_prefix(etc init.d runtime PROGRAM ${ZQ_PACKAGING_BINARY_DIR}/${ZQ_SERVICE_NAME}.init
                          ${ZQ_SERVICE_NAME})
zq_install_outside_prefix(etc zqlog runtime FILE ${ZQ_PACKAGING_BINARY_DIR}/Path.ini)
# The daemon's settings with their defaults and ranges, as the administrator's
# file; the package links <base>/ZqSdkLog/LogServer.ini to it.
foreach(key LogLevel FileSize FileNum SyncMs Interval Burst ExemptBelow)
  zq_read_constant(asynclog/LogConfig.h
                   "\"${key}\", ([0-9]+, [0-9]+, [0-9]+)}" zq_key_values)
  string(REPLACE ", " ";" zq_key_values "${zq_key_values}")
  list(GET zq_key_values 0 ZQ_CFG_${key}_MIN)
  list(GET zq_key_values 1 ZQ_CFG_${key}_MAX)
  list(GET zq_key_values 2 ZQ_CFG_${key}_DEFAULT)
endforeach()
set(ZQ_DAEMON_NAME ${zq_daemon_name})
set(ZQ_DOC_DIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/${ZQ_RUNTIME_PACKAGE})
configure_file(${ZQ_PACKAGING_DIR}/LogServer.ini.in ${ZQ_PACKAGING_BINARY_DIR}/LogServer.ini @ONLY)
zq_install_outside_prefix(etc zqlog runtime FILE ${ZQ_PACKAGING_BINARY_DIR}/LogServer.ini)

# Man pages, compressed as the packages carry them.
set(zq_man_pages ZuVozAdavid.8 zqlog.1 zqread.1)
set(zq_man_outputs "")
foreach(page IN LISTS zq_man_pages)
  string(REGEX REPLACE ".*\\." "" section ${page})
  set(out ${ZQ_PACKAGING_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZQ_PACKAGING_BINARY_DIR}/man
    COMMAND gzip -9nc ${ZQ_PACKAGING_DIR}/man/${page} > ${out}
    DEPENDS ${ZQ_PACKAGING_DIR}/man/${page}
    COMMENT "Compressing the man page ${page}")
  list(APPEND zq_man_outputs ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT runtime)
endforeach()

# Each package's copyright and changelog. The changelog's newest entry must
# be for the version this build makes.
file(STRINGS ${ZQ_PACKAGING_DIR}/debian/changelog zq_changelog_top LIMIT_COUNT 1)
if(NOT zq_changelog_top MATCHES "^${ZQ_RUNTIME_PACKAGE} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not for "
                      "${PROJECT_VERSION}: ${zq_changelog_top}")
endif()
set(zq_changelog_gz ${ZQ_PACKAGING_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${zq_changelog_gz}
  COMMAND gzip -9nc ${ZQ_PACKAGING_DIR}/debian/changelog > ${zq_changelog_gz}
  DEPENDS ${ZQ_PACKAGING_DIR}/debian/changelog
  COMMENT "Compressing the changelog")
add_custom_target(zq_packaging_files ALL DEPENDS ${zq_man_outputs} ${zq_changelog_gz})
# How forwarding works, what it proves, and TLS set up end to end.
install(FILES ${PROJECT_SOURCE_DIR}/docs/forwarding.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZQ_RUNTIME_PACKAGE} COMPONENT runtime)
foreach(pair runtime:${ZQ_RUNTIME_PACKAGE} library:${ZQ_LIBRARY_PACKAGE} dev:${ZQ_DEV_PACKAGE})
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${ZQ_PACKAGING_DIR}/debian/copyright ${zq_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# --- library and dev: libzqlog, its headers, the CMake package, pkg-config
install(TARGETS zq_shared zq_static EXPORT ZqLogTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/logmodule/LogModule.h
              ${PROJECT_BINARY_DIR}/include/logmodule/ZqLogVersion.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zqlog/logmodule COMPONENT dev)

set(ZQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZqLog)
install(EXPORT ZqLogTargets NAMESPACE ZqLog:: DESTINATION ${ZQ_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${ZQ_PACKAGING_DIR}/ZqLogConfig.cmake.in
                              ${ZQ_PACKAGING_BINARY_DIR}/ZqLogConfig.cmake
                              INSTALL_DESTINATION ${ZQ_CMAKE_DIR})
write_basic_package_version_file(${ZQ_PACKAGING_BINARY_DIR}/ZqLogConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${ZQ_PACKAGING_BINARY_DIR}/ZqLogConfig.cmake
              ${ZQ_PACKAGING_BINARY_DIR}/ZqLogConfigVersion.cmake
        DESTINATION ${ZQ_CMAKE_DIR} COMPONENT dev)

# zqlog.pc finds the prefix from its own place (${pcfiledir}), so the tree
# may be moved or installed under any prefix.
set(ZQ_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ZQ_PC_TO_PREFIX /${ZQ_PC_DIR} /)
string(REGEX REPLACE "/$" "" ZQ_PC_TO_PREFIX "${ZQ_PC_TO_PREFIX}")
configure_file(${ZQ_PACKAGING_DIR}/zqlog.pc.in ${ZQ_PACKAGING_BINARY_DIR}/zqlog.pc @ONLY)
install(FILES ${ZQ_PACKAGING_BINARY_DIR}/zqlog.pc DESTINATION ${ZQ_PC_DIR} COMPONENT dev)
