# Installing the library for hosts: zel, zelfile and zelvem with their public headers, the tools
# vem and vemsim, a CMake package (zelvem::zelvem) and a pkg-config file (zelvem.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZELVEM_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zelvem)
set(ZELVEM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelvem)

# Hosts include "suite/..." and "vem/..." as the sources do, from the build tree or the prefix.
foreach(lib zel zelfile zelvem)
  target_include_directories(${lib} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${ZELVEM_INSTALL_INCLUDEDIR}>)
  target_compile_features(${lib} INTERFACE cxx_std_17)
endforeach()

install(TARGETS zel zelfile zelvem EXPORT zelvemTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The tools find the libraries beside them on Windows, and one folder over elsewhere.
# Each library finds the others beside it, so hosts need no search path of their own.
if(NOT WIN32)
  set_target_properties(vem vemsim PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(zel zelfile zelvem PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
install(TARGETS vem vemsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  # The MinGW runtime the build copied beside the DLLs goes with them.
  install(FILES ${CMAKE_BINARY_DIR}/bin/libstdc++-6.dll ${CMAKE_BINARY_DIR}/bin/libgcc_s_seh-1.dll
                ${CMAKE_BINARY_DIR}/bin/libwinpthread-1.dll
          DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The public headers: what the host interface and the C API include, the base library's and
# the imager-file library's interfaces. The platform layer of zel stays inside.
file(GLOB zelvem_suite_headers ${PROJECT_SOURCE_DIR}/suite/*.h)
list(FILTER zelvem_suite_headers EXCLUDE REGEX "_platform\\.h$")
file(GLOB zelvem_suite_file_headers ${PROJECT_SOURCE_DIR}/suite/file/*.h)
install(FILES ${zelvem_suite_headers} DESTINATION ${ZELVEM_INSTALL_INCLUDEDIR}/suite)
install(FILES ${zelvem_suite_file_headers} DESTINATION ${ZELVEM_INSTALL_INCLUDEDIR}/suite/file)
install(FILES ${PROJECT_SOURCE_DIR}/vem/exports.h ${PROJECT_SOURCE_DIR}/vem/vem_interface.h
        DESTINATION ${ZELVEM_INSTALL_INCLUDEDIR}/vem)

install(EXPORT zelvemTargets NAMESPACE zelvem:: DESTINATION ${ZELVEM_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zelvemConfig.cmake.in
  ${CMAKE_BINARY_DIR}/zelvemConfig.cmake INSTALL_DESTINATION ${ZELVEM_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zelvemConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zelvemConfig.cmake ${CMAKE_BINARY_DIR}/zelvemConfigVersion.cmake
        DESTINATION ${ZELVEM_INSTALL_CMAKEDIR})

# zelvem.pc finds the prefix from its own place, so the tree can be installed or moved anywhere.
file(RELATIVE_PATH zelvem_pc_to_prefix
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/zelvem.pc.in ${CMAKE_BINARY_DIR}/zelvem.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zelvem.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
