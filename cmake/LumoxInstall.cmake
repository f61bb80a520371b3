# What `cmake --install` puts under the prefix: the library, Lumox.h, the pkg-config file,
# the CMake package (Lumox::Lumox) with its version file, and the documentation.
include(CMakePackageConfigHelpers)

set(LUMOX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Lumox)

install(TARGETS Lumox EXPORT LumoxTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/library/include/Lumox.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # The export table with its ordinals (decorated stdcall names on 32-bit), for callers
  # that make their own import library.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    install(FILES ${PROJECT_BINARY_DIR}/library/Lumox-i686.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
            RENAME Lumox.def)
  else()
    install(FILES ${PROJECT_BINARY_DIR}/library/Lumox.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

install(EXPORT LumoxTargets NAMESPACE Lumox:: DESTINATION ${LUMOX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/LumoxConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/LumoxConfig.cmake
                              INSTALL_DESTINATION ${LUMOX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/LumoxConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/LumoxConfig.cmake ${PROJECT_BINARY_DIR}/LumoxConfigVersion.cmake
        DESTINATION ${LUMOX_CMAKE_DIR})

# pkg-config: relative to the prefix the .pc file itself lies in, so the tree can move.
file(RELATIVE_PATH LUMOX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" LUMOX_PC_TO_PREFIX "${LUMOX_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/lumox.pc.in ${PROJECT_BINARY_DIR}/lumox.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lumox.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(LUMOX_DOCS ${PROJECT_SOURCE_DIR}/docs/Lumox-API-ja.md ${PROJECT_SOURCE_DIR}/docs/Lumox-API-en.md
               ${PROJECT_SOURCE_DIR}/docs/Lumox.ini)
install(FILES ${LUMOX_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/Lumox.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endif()
