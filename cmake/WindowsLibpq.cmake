# libpq for quelmar-cli.exe: not in Debian, so it comes from the npm
# registry's @embedded-postgres/windows-x64 (a PostgreSQL 15 build for
# Windows), pinned by version and by the SHA-512 the registry publishes as
# its integrity. The package is downloaded once into a cache folder shared
# by every build (QUELMAR_DOWNLOAD_CACHE, default ~/.cache/quelmar), checked,
# and only libpq.dll and the DLLs it loads are taken from it: they go
# beside quelmar-cli.exe in the build folder (for the tests under Wine) and
# in the zip.
#
# Sets QUELMAR_LIBPQ_DLLS to the DLLs' paths in the build folder.
set(QUELMAR_LIBPQ_PACKAGE_VERSION 15.18.0-beta.17)
set(QUELMAR_LIBPQ_PACKAGE_SHA512
    404fc60c45ca84481b389d84227e7ba9c1cdb28dd3577b398b18f1cf1ee5833e3ac86294cd3817107ae04c4c3672490da48252bbd91454829c9358a39cc96eaf)
set(QUELMAR_LIBPQ_PACKAGE_URL
    https://registry.npmjs.org/@embedded-postgres/windows-x64/-/windows-x64-${QUELMAR_LIBPQ_PACKAGE_VERSION}.tgz)
# libpq.dll's own imports beyond Windows' (objdump -p): OpenSSL 3 for TLS,
# libintl for translated messages, which takes libiconv and winpthread.
# The VC++ runtime (VCRUNTIME140.dll) and the UCRT are Windows'.
set(QUELMAR_LIBPQ_DLL_NAMES libpq.dll libssl-3-x64.dll libcrypto-3-x64.dll libintl-9.dll
    libiconv-2.dll libwinpthread-1.dll)

if(DEFINED ENV{QUELMAR_DOWNLOAD_CACHE})
  set(cache $ENV{QUELMAR_DOWNLOAD_CACHE})
else()
  set(cache $ENV{HOME}/.cache/quelmar)
endif()
set(tarball ${cache}/embedded-postgres-windows-x64-${QUELMAR_LIBPQ_PACKAGE_VERSION}.tgz)

set(have_tarball FALSE)
if(EXISTS ${tarball})
  file(SHA512 ${tarball} found)
  if(found STREQUAL QUELMAR_LIBPQ_PACKAGE_SHA512)
    set(have_tarball TRUE)
  else()
    message(STATUS "libpq for Windows: ${tarball} is not the pinned package; fetching it again")
    file(REMOVE ${tarball})
  endif()
endif()
if(NOT have_tarball)
  message(STATUS "libpq for Windows: fetching ${QUELMAR_LIBPQ_PACKAGE_URL}")
  file(MAKE_DIRECTORY ${cache})
  file(DOWNLOAD ${QUELMAR_LIBPQ_PACKAGE_URL} ${tarball}.part
       EXPECTED_HASH SHA512=${QUELMAR_LIBPQ_PACKAGE_SHA512} TLS_VERIFY ON STATUS status)
  list(GET status 0 code)
  if(NOT code EQUAL 0)
    file(REMOVE ${tarball}.part)
    list(GET status 1 text)
    message(FATAL_ERROR "libpq for Windows: cannot fetch ${QUELMAR_LIBPQ_PACKAGE_URL}: ${text}")
  endif()
  file(RENAME ${tarball}.part ${tarball})
endif()

set(unpacked ${CMAKE_BINARY_DIR}/libpq-windows)
set(patterns)
foreach(dll ${QUELMAR_LIBPQ_DLL_NAMES})
  list(APPEND patterns package/native/bin/${dll})
endforeach()
file(REMOVE_RECURSE ${unpacked})
file(ARCHIVE_EXTRACT INPUT ${tarball} DESTINATION ${unpacked} PATTERNS ${patterns})

set(QUELMAR_LIBPQ_DLLS)
foreach(dll ${QUELMAR_LIBPQ_DLL_NAMES})
  set(path ${unpacked}/package/native/bin/${dll})
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "libpq for Windows: ${dll} is missing from the package")
  endif()
  # Beside quelmar-cli.exe in the build folder, as in the zip.
  file(COPY ${path} DESTINATION ${CMAKE_BINARY_DIR}/tools/cli)
  list(APPEND QUELMAR_LIBPQ_DLLS ${CMAKE_BINARY_DIR}/tools/cli/${dll})
endforeach()
