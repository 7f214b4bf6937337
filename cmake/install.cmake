# What `cmake --install` puts where: the Windows programs of both cross builds
# and the PPD, the client qvctl, the controller library with its headers, a CMake package
# (find_package(qvtools) -> qvtools::qvcontrol) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(QV_PROGRAM_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/qvtools)
foreach(pair "i686-w64-mingw32;i686" "x86_64-w64-mingw32;x86_64")
    list(GET pair 0 target)
    list(GET pair 1 arch)
    install(PROGRAMS
            ${CMAKE_BINARY_DIR}/${target}/qvmanip.exe
            ${CMAKE_BINARY_DIR}/${target}/qvaddprinter.exe
        DESTINATION ${QV_PROGRAM_INSTALL_DIR}/${arch}
        COMPONENT windows)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/winelib/qvaddprinter/Google_Cloud_Print.ppd
    DESTINATION ${CMAKE_INSTALL_DATADIR}/qvtools
    COMPONENT windows)

install(TARGETS qvctl qvagent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(TARGETS qvcontrol EXPORT qvtoolsTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/controller/include/qv
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT development
    FILES_MATCHING PATTERN "*.h")

set(QV_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvtools)
install(EXPORT qvtoolsTargets
    NAMESPACE qvtools::
    DESTINATION ${QV_CMAKE_INSTALL_DIR}
    COMPONENT development)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/qvtoolsConfig.cmake.in
    ${CMAKE_BINARY_DIR}/qvtoolsConfig.cmake
    INSTALL_DESTINATION ${QV_CMAKE_INSTALL_DIR}
    PATH_VARS QV_PROGRAM_INSTALL_DIR CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qvtoolsConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/qvtoolsConfig.cmake ${CMAKE_BINARY_DIR}/qvtoolsConfigVersion.cmake
    DESTINATION ${QV_CMAKE_INSTALL_DIR}
    COMPONENT development)

# The .pc file finds its prefix from where it lies, so --prefix at install
# time is honoured.
set(QV_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH QV_PKGCONFIG_TO_PREFIX /${QV_PKGCONFIG_INSTALL_DIR} /)
string(REGEX REPLACE "/$" "" QV_PKGCONFIG_TO_PREFIX "${QV_PKGCONFIG_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/qvtools.pc.in ${CMAKE_BINARY_DIR}/qvtools.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qvtools.pc
    DESTINATION ${QV_PKGCONFIG_INSTALL_DIR}
    COMPONENT development)
