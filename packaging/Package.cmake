# Debian packages, one per install component (packaging/Install.cmake):
# `cpack` in the build directory writes
#   zuvozadavid_<version>_<arch>.deb    the daemon, zqlog, service files
#   libzqlog<major>_<version>_<arch>.deb the shared library
#   libzqlog-dev_<version>_<arch>.deb    headers, static archive, CMake, pkg-config
# The architecture is the target's (ZQ_DEB_ARCH from the toolchain file), else
# the host's. The packages pass lintian without errors or warnings; the test
# PackageTest (tests/install) checks that and what installing them makes.
if(NOT ZQ_DEB_ARCH)
  find_program(ZQ_DPKG dpkg)
  if(ZQ_DPKG)
    execute_process(COMMAND ${ZQ_DPKG} --print-architecture
                    OUTPUT_VARIABLE ZQ_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
  else()
    set(ZQ_DEB_ARCH amd64)
  endif()
endif()

# Files under /etc are the administrator's: dpkg keeps their edits on upgrades.
set(zq_control_dir ${ZQ_PACKAGING_BINARY_DIR}/control)
file(WRITE ${zq_control_dir}/conffiles
     "/etc/init.d/${ZQ_SERVICE_NAME}\n/etc/zqlog/Path.ini\n/etc/zqlog/LogServer.ini\n")
foreach(script postinst prerm postrm)
  configure_file(${ZQ_PACKAGING_DIR}/debian/${ZQ_RUNTIME_PACKAGE}.${script}
                 ${zq_control_dir}/${script} @ONLY)
endforeach()

# The shared library: its dependency line for packages linking it (shlibs),
# every exported symbol with the version that brought it (symbols: the
# operations LogModule.h marks ZQ_API, all there since 1.0.0: an operation
# added later needs its own version here), and the
# ldconfig run after installing or removing it.
set(zq_soname libzqlog.so.${PROJECT_VERSION_MAJOR})
file(WRITE ${zq_control_dir}/shlibs
     "libzqlog ${PROJECT_VERSION_MAJOR} ${ZQ_LIBRARY_PACKAGE} (>= ${PROJECT_VERSION})\n")
file(STRINGS ${PROJECT_SOURCE_DIR}/logmodule/LogModule.h zq_api_lines REGEX "^ZQ_API ")
set(zq_symbols "${zq_soname} ${ZQ_LIBRARY_PACKAGE} #MINVER#\n* Build-Depends-Package: ${ZQ_DEV_PACKAGE}\n")
foreach(line IN LISTS zq_api_lines)
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)\\(" name "${line}")
  string(APPEND zq_symbols " ${CMAKE_MATCH_1}@Base 1.0.0\n")
endforeach()
file(WRITE ${zq_control_dir}/symbols "${zq_symbols}")
file(WRITE ${zq_control_dir}/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime library dev)
# Install with DESTDIR: the files outside the prefix (/etc, /lib/systemd)
# land in the package too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_NAME ${ZQ_RUNTIME_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZuVozAdavid developers <zuvozadavid-dev@lists.example.org>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZQ_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${ZQ_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(zq_cxx_runtime_depends "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZQ_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
# The daemon forwards over TLS with OpenSSL 3, linked dynamically.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${zq_cxx_runtime_depends}, libssl3 (>= 3.0.0)")
# The maintainer scripts use invoke-rc.d --skip-systemd-native.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${zq_control_dir}/conffiles ${zq_control_dir}/postinst ${zq_control_dir}/prerm
    ${zq_control_dir}/postrm)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"log collection daemon for embedded Linux devices
ZuVozAdavid receives log records as UDP datagrams on 127.0.0.1:12345 and
appends them unchanged to a set of size-rotated files under /var/log/ZQS.
Its configuration file (log level, file size and count) is followed while
it runs. Programs linked with libzqlog forward their records to it; the
zqlog command logs from shell scripts, with options like those of logger.

This package holds the daemon with its systemd unit and init script, and
the zqlog command.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${ZQ_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS ${zq_cxx_runtime_depends})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${zq_control_dir}/shlibs ${zq_control_dir}/symbols ${zq_control_dir}/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"asynchronous log module of the ZuVozAdavid log daemon
libzqlog formats log records (level, time with milliseconds, device, module,
source line, process, function, message) and copies them into a ring of
preallocated slots; a background thread writes them to size-rotated files,
or forwards each to the ZuVozAdavid daemon when it runs. A log call never
waits for I/O.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${ZQ_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ZQ_LIBRARY_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"asynchronous log module of the ZuVozAdavid log daemon - development files
libzqlog formats log records and queues them for a background writer,
which writes size-rotated files or forwards them to the ZuVozAdavid daemon.
Its header is C99 and C++.

This package holds the header, the static archive, the CMake package ZqLog
and the pkg-config file zqlog.pc.")

# The description's first line is the synopsis; CPack indents the others and
# marks the empty ones as paragraph breaks.
include(CPack)
