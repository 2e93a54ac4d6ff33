# cmake --install: the libraries, their public headers and a CMake package,
# so that C++ users write find_package(quorvane) and link quorvane::codec.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(quorvane_common PROPERTIES EXPORT_NAME common)
set_target_properties(quorvane_wavelet PROPERTIES EXPORT_NAME wavelet)
set_target_properties(quorvane_arans PROPERTIES EXPORT_NAME arans)
set_target_properties(quorvane_codec PROPERTIES EXPORT_NAME codec)

install(TARGETS quorvane_common quorvane_wavelet quorvane_arans quorvane_codec
        EXPORT quorvaneTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY common/include/ wavelet/include/ codec/include/ codec/src/arans/include/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(QUORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvane)
install(EXPORT quorvaneTargets NAMESPACE quorvane:: DESTINATION ${QUORVANE_CMAKE_DIR})
configure_package_config_file(cmake/quorvaneConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/quorvaneConfig.cmake
                              INSTALL_DESTINATION ${QUORVANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quorvaneConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorvaneConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/quorvaneConfigVersion.cmake
        DESTINATION ${QUORVANE_CMAKE_DIR})
