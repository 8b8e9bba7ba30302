# cmake --install: the public headers, the library, the CMake package TelvoSDK (target
# TelvoSDK::telvosdk) and telvosdk.pc. Both package files are relocatable: they find the
# installed tree relative to their own place in it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TELVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TelvoSDK)
install(TARGETS telvosdk EXPORT TelvoSDKTargets FILE_SET HEADERS)
install(EXPORT TelvoSDKTargets NAMESPACE TelvoSDK:: DESTINATION ${TELVO_CMAKE_DIR})

configure_file(${CMAKE_CURRENT_LIST_DIR}/TelvoSDKConfig.cmake.in TelvoSDKConfig.cmake @ONLY)
# 0.x: a new minor version may change the interface (the SONAME carries major.minor too).
write_basic_package_version_file(TelvoSDKConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TelvoSDKConfig.cmake
              ${PROJECT_BINARY_DIR}/TelvoSDKConfigVersion.cmake DESTINATION ${TELVO_CMAKE_DIR})

# A static telvosdk puts the libraries it is built on into every app's link (these are shared
# libraries here, so an app links with plain `pkg-config --libs`; giflib, which has no pkg-config
# file, by name); a shared one links them itself.
if(BUILD_SHARED_LIBS)
  set(TELVO_PC_PRIVATE ".private")
  set(TELVO_PC_LIBS "Libs: -L\${libdir} -ltelvosdk\nLibs.private: -lgif -pthread")
else()
  set(TELVO_PC_PRIVATE "")
  set(TELVO_PC_LIBS "Libs: -L\${libdir} -ltelvosdk -lgif -pthread")
endif()
file(RELATIVE_PATH TELVO_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/telvosdk.pc.in telvosdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/telvosdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
