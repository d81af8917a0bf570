# The release package: nosaver-<version>-win32.zip with the executable, a
# guide for Windows users and the license (both with CRLF line ends, so
# that Notepad on Windows XP shows them right), and a SHA-256 checksum
# file beside it. Made by `cpack` in the win32 build; see scripts/package.sh.

function(nosaver_text_file source destination)
  file(READ ${source} text)
  string(REPLACE "@VERSION@" "${PROJECT_VERSION}" text "${text}")
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
endfunction()

nosaver_text_file(${CMAKE_SOURCE_DIR}/res/README-windows.txt ${CMAKE_BINARY_DIR}/package/README.txt)
nosaver_text_file(${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/package/LICENSE.txt)

install(TARGETS nosaver RUNTIME DESTINATION .)
# scripts/package.sh --sign names a signed copy of the executable, which
# goes into the zip in its place.
install(CODE [[
  if(DEFINED ENV{NOSAVER_SIGNED_EXE})
    file(COPY_FILE "$ENV{NOSAVER_SIGNED_EXE}" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/nosaver.exe")
  endif()
]])
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_BINARY_DIR}/package/LICENSE.txt
        DESTINATION .)

# Every file in the package gets one fixed time: SOURCE_DATE_EPOCH when it
# is set, else the time of the last commit, so that the same commit always
# gives the same bytes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch)
    set(epoch 1767225600) # 2026-01-01
  endif()
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME nosaver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME nosaver-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_SOURCE_DIR}/build/package)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package-normalize.cmake)
set(CPACK_NOSAVER_EPOCH ${epoch})
include(CPack)
