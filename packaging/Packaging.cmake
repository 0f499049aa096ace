# The Debian package (cpack -G DEB): the toolbox where FlowDesigner looks for it (libraries, .tlb
# links, nimbusdale.def), the tool, the Python module for Debian's python3, the cores for
# developers, and the stand-in host library in a folder of our own. Built and checked by
# scripts/package.sh.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbusdale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "NIMBUSDALE maintainers <maintainers@users.noreply.c-seed-20fb576b.example>")
# The summary and the extended description (CPack puts the summary above it and indents it) name
# the tool's live JACK audio and the Python module only where this build has them: a cross build
# may leave them out.
if(NIMBUSDALE_WITH_JACK)
  set(NIMBUSDALE_PACKAGE_TOOL "files, pipes and\nlive JACK audio")
else()
  set(NIMBUSDALE_PACKAGE_TOOL "files and pipes")
endif()
if(NIMBUSDALE_BUILD_PYTHON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "robust-PCA enhancement of multichannel audio (FlowDesigner nodes, tool, Python)")
  set(NIMBUSDALE_PACKAGE_PYTHON "\nthe nimbusdale module for Debian's python3,")
else()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "robust-PCA enhancement of multichannel audio (FlowDesigner nodes, tool)")
  set(NIMBUSDALE_PACKAGE_PYTHON "")
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "NIMBUSDALE separates steady or periodic noise (fans, motors, hum) from speech
and events in multichannel short-time spectra with an online robust PCA per
channel, then integrates the channels: by default a Wiener mask on channel 0
from every channel's split, or their median, or a Poisson-Gamma model.

The package holds the FlowDesigner toolbox (libnimbusdale, and
libnimbusdale-audio with audio-file, STFT and synthesis nodes) with its
node descriptions, the nimbusdale command-line tool (${NIMBUSDALE_PACKAGE_TOOL}),${NIMBUSDALE_PACKAGE_PYTHON}
and the host-free cores with their headers, CMake package and pkg-config
file.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/nimbusdale/nimbusdale")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross build is packaged for the architecture it was built for: dpkg's name for the
# toolchain's multiarch triplet (arm64 for aarch64-linux-gnu). dpkg-shlibdeps finds that
# architecture's libraries in their multiarch folder, which libc6:arm64 adds to ld.so.conf.
if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "dpkg-architecture knows no Debian architecture for "
                        "'${CMAKE_LIBRARY_ARCHITECTURE}'; set CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
  endif()
endif()
# dpkg-shlibdeps resolves the stand-in host library inside the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_CURRENT_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux${CMAKE_INSTALL_PREFIX}/${NIMBUSDALE_PRIVATE_LIBDIR})
# The Python module needs NumPy and the python3 it was built for; shared libraries come from
# dpkg-shlibdeps.
if(NIMBUSDALE_BUILD_PYTHON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${NIMBUSDALE_PYTHON_DEPENDS}")
endif()

# The Debian documentation every package carries: copyright and a compressed changelog (a
# native package's is changelog.gz).
set(NIMBUSDALE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
string(TIMESTAMP NIMBUSDALE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nf -k ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/changelog)
add_custom_target(nimbusdale_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${NIMBUSDALE_DOC_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
