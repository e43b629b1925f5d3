# What `cmake --install` puts in place for C and C++ users of the engine, the way Debian's C
# libraries are laid out (the Python modules add their own rules in bindings/):
#   <libdir>/libqnst64.so.<version>, its SONAME link libqnst64.so.<major> and the development
#     link libqnst64.so;
#   <includedir>/qnst/qnst_*.h, the public headers (they include each other by plain name);
#   <libdir>/pkgconfig/qnst64.pc, for `pkg-config --cflags --libs qnst64`;
#   <libdir>/cmake/qnst64/, for `find_package(qnst64)` and the imported target qnst64::qnst64.
# Both descriptions find the prefix from where they were installed, so a tree installed with
# `cmake --install <build> --prefix <dir>` works where it lands.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(qnst64 PROPERTIES VERSION ${PROJECT_VERSION}
                                        SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(qnst64 INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qnst>)

install(TARGETS qnst64 EXPORT qnst64Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${qnst_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qnst)

set(qnst_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/qnst64)
install(EXPORT qnst64Targets NAMESPACE qnst64:: DESTINATION ${qnst_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qnst64Config.cmake.in
  ${PROJECT_BINARY_DIR}/qnst64Config.cmake INSTALL_DESTINATION ${qnst_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qnst64ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qnst64Config.cmake
              ${PROJECT_BINARY_DIR}/qnst64ConfigVersion.cmake
        DESTINATION ${qnst_cmake_dir})

# The .pc file names its prefix relative to its own directory (${pcfiledir}).
set(qnst_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH qnst_pc_to_prefix /prefix/${qnst_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" qnst_pc_to_prefix "${qnst_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qnst64.pc.in ${PROJECT_BINARY_DIR}/qnst64.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qnst64.pc DESTINATION ${qnst_pc_dir})

# install_tree: installs into a temporary prefix, then builds and runs a small C program against
# it through pkg-config and through find_package. The sanitizer builds leave it out: the program
# would need their runtimes.
if(NOT QNST_SANITIZE AND NOT QNST_TSAN)
  add_test(NAME install_tree
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                   -DPREFIX=${PROJECT_BINARY_DIR}/install-test
                   -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/cmake/install_test
                   -DC_COMPILER=${CMAKE_C_COMPILER}
                   -DVERSION=${PROJECT_VERSION}
                   -DPYTHON=$<BOOL:${QNST_PYTHON}>
                   -P ${PROJECT_SOURCE_DIR}/cmake/install_test/run.cmake)
  set_tests_properties(install_tree PROPERTIES LABELS install TIMEOUT 300)
endif()
