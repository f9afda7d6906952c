# The Windows package: hwds-<version>-win64.zip or -win32.zip with
# voriridod.exe, hwds.exe and README.txt at its top. The simulated driver
# libraries stay out: the real ones come with the devices.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(HWDS_WINDOWS_ARCH win64)
  set(HWDS_WINDOWS_NAME "64-bit Windows")
else()
  set(HWDS_WINDOWS_ARCH win32)
  set(HWDS_WINDOWS_NAME "32-bit Windows")
endif()
# Windows' own line ends, whatever the checkout has.
configure_file(README-windows.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS voriridod hwds-cli RUNTIME DESTINATION . COMPONENT runtime)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION . COMPONENT runtime)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME hwds)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME hwds-${PROJECT_VERSION}-${HWDS_WINDOWS_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};voriridod;runtime;/")
set(CPACK_STRIP_FILES ON)
include(CPack)
