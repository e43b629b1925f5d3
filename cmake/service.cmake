# The Windows service wrapper (service/) is a Windows program. When the mingw-w64 cross compiler
# is installed, the build makes it as an external project with cmake/mingw-w64.cmake (warnings
# as errors, like the engine); when Wine is installed too, its tests run under Wine as CTest
# tests labelled "wine", in a Wine prefix that the first test creates and the last removes.
# Sanitizer builds leave it out: sanitizers do not reach a cross-built program, and so the Wine
# tests run once per full test run.
find_program(QNST_MINGW_CXX x86_64-w64-mingw32-g++)
if(NOT QNST_MINGW_CXX OR QNST_SANITIZE OR QNST_TSAN)
  return()
endif()

include(ExternalProject)
set(qnst_service_dir ${CMAKE_BINARY_DIR}/service-win64)
ExternalProject_Add(qnst_service
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/service
  BINARY_DIR ${qnst_service_dir}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
             -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
             -DQNST_WERROR=${QNST_WERROR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)  # the sub-build itself sees which sources changed

find_program(QNST_WINE wine)
find_program(QNST_WINESERVER wineserver)
if(NOT QNST_WINE OR NOT QNST_WINESERVER)
  message(STATUS "Wine not found: the service wrapper is built but not tested")
  return()
endif()

set(wine_sh ${PROJECT_SOURCE_DIR}/service/test/wine.sh)
set(wine_prefix ${qnst_service_dir}/wineprefix)
set(driver ${qnst_service_dir}/test/svc_driver.exe)
add_test(NAME service_wine_setup COMMAND ${wine_sh} setup ${wine_prefix})
set_tests_properties(service_wine_setup PROPERTIES FIXTURES_SETUP service_wine)
foreach(case install restart stop uninstall no_server console shipped)
  add_test(NAME service_wine.${case} COMMAND ${wine_sh} run ${wine_prefix} ${driver} ${case})
endforeach()
add_test(NAME service_wine.long_path COMMAND ${wine_sh} long-path ${wine_prefix} ${driver})
add_test(NAME service_wine_cleanup COMMAND ${wine_sh} cleanup ${wine_prefix})
set_tests_properties(service_wine_cleanup PROPERTIES FIXTURES_CLEANUP service_wine)

get_property(wine_tests DIRECTORY PROPERTY TESTS)
list(FILTER wine_tests INCLUDE REGEX "^service_wine")
# One service manager per prefix: the cases take turns.
set_tests_properties(${wine_tests} PROPERTIES RESOURCE_LOCK service_wine LABELS wine TIMEOUT 300)
foreach(t IN LISTS wine_tests)
  if(t MATCHES "^service_wine\\.")
    set_tests_properties(${t} PROPERTIES FIXTURES_REQUIRED service_wine)
  endif()
endforeach()
