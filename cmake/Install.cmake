# Install rules, the CMake package ZqLog, the pkg-config file zqlog.pc, the
# service files and the Debian packages (CPack).
#
#   <prefix>/sbin/ZuVozAdavid                      the daemon
#   <prefix>/bin/zqlog                             the command-line client
#   <prefix>/include/zqlog/logmodule/LogModule.h   the client header
#   <libdir>/libzq_{logmodule,asynclog,platform}.a the client libraries
#   <libdir>/cmake/ZqLog/                          find_package(ZqLog) -> ZqLog::zqlog
#   <libdir>/pkgconfig/zqlog.pc                    pkg-config zqlog
#   <prefix>/lib/systemd/system/zuvozadavid.service
#   <sysconfdir>/init.d/zuvozadavid                SysV/BusyBox init script
#   <sysconfdir>/zqlog/Path.ini                    the service's working directory
#
# The service files name absolute paths: configure with
# -DCMAKE_INSTALL_PREFIX=/usr for a system install or a package (sysconfdir is
# then /etc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZQ_SERVICE_NAME zuvozadavid)
set(ZQ_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zqlog)
set(ZQ_DAEMON_BIN ${CMAKE_INSTALL_FULL_SBINDIR}/ZuVozAdavid)
set(ZQ_PID_FILE /run/ZuVozAdavid/ZuVozAdavid.pid)  # kPidFilePath in server/InstanceLock.h
set(ZQ_BASE_DIR /var/log/ZQS)          # the daemon's default base directory

# What a client links: the log module with the engine and platform below it.
add_library(zq_client INTERFACE)
target_link_libraries(zq_client INTERFACE zq_logmodule)
set_target_properties(zq_client PROPERTIES EXPORT_NAME zqlog)

install(TARGETS ZuVozAdavid RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS zqlog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS zq_client zq_logmodule zq_asynclog zq_platform
        EXPORT ZqLogTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/logmodule/LogModule.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zqlog/logmodule)

set(ZQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZqLog)
install(EXPORT ZqLogTargets NAMESPACE ZqLog:: DESTINATION ${ZQ_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZqLogConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/ZqLogConfig.cmake
                              INSTALL_DESTINATION ${ZQ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZqLogConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZqLogConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ZqLogConfigVersion.cmake
        DESTINATION ${ZQ_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/zqlog.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zqlog.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zqlog.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_file(${PROJECT_SOURCE_DIR}/scripts/service/zuvozadavid.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/${ZQ_SERVICE_NAME}.service @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/scripts/service/zuvozadavid.init.in
               ${CMAKE_CURRENT_BINARY_DIR}/${ZQ_SERVICE_NAME}.init @ONLY)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/Path.ini "${ZQ_BASE_DIR}\n")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${ZQ_SERVICE_NAME}.service
        DESTINATION lib/systemd/system)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/${ZQ_SERVICE_NAME}.init
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d RENAME ${ZQ_SERVICE_NAME})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Path.ini DESTINATION ${ZQ_CONF_DIR})

# Debian package: `cpack` in the build directory writes
# zuvozadavid_<version>_<arch>.deb. The architecture is the target's
# (ZQ_DEB_ARCH from the toolchain file), else the host's.
if(NOT ZQ_DEB_ARCH)
  find_program(ZQ_DPKG dpkg)
  if(ZQ_DPKG)
    execute_process(COMMAND ${ZQ_DPKG} --print-architecture
                    OUTPUT_VARIABLE ZQ_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
  else()
    set(ZQ_DEB_ARCH amd64)
  endif()
endif()
# /etc files are the administrator's: dpkg keeps their edits on upgrades.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/${ZQ_SERVICE_NAME}\n${ZQ_CONF_DIR}/Path.ini\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZQ_SERVICE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "log-collecting daemon ZuVozAdavid with its asynchronous log library")
set(CPACK_PACKAGE_CONTACT "ZuVozAdavid maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZQ_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb/conffiles)
include(CPack)
