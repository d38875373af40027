# Installs the build into a scratch prefix and checks that everything a desktop needs is there:
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch> -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

include(GNUInstallDirs)
set(expected
  ${CMAKE_INSTALL_BINDIR}/velkaro
  ${CMAKE_INSTALL_BINDIR}/velkaro-cli
  ${CMAKE_INSTALL_LIBEXECDIR}/velkaro/fftw_helper
  ${CMAKE_INSTALL_DATADIR}/velkaro/processing.png
  ${CMAKE_INSTALL_DATADIR}/velkaro/drop.png
  ${CMAKE_INSTALL_DATADIR}/velkaro/led_on.png
  ${CMAKE_INSTALL_DATADIR}/velkaro/led_off.png
  ${CMAKE_INSTALL_DATADIR}/velkaro/led_processing1.png
  ${CMAKE_INSTALL_DATADIR}/velkaro/led_processing2.png
  ${CMAKE_INSTALL_DATADIR}/velkaro/velkaro.png
  ${CMAKE_INSTALL_DATADIR}/applications/velkaro.desktop
  ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps/velkaro.png)
foreach(file IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(program velkaro velkaro-cli)
  if(IS_DIRECTORY "${PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}")
    message(FATAL_ERROR "${program} is not a program")
  endif()
endforeach()

file(READ "${PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/velkaro.desktop" entry)
foreach(line "[Desktop Entry]" "Type=Application" "Exec=velkaro %f" "Icon=velkaro")
  string(FIND "${entry}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the desktop entry lacks \"${line}\"")
  endif()
endforeach()
foreach(type image/jpeg image/png image/tiff)
  string(REGEX MATCH "\nMimeType=[^\n]*${type};" found "${entry}")
  if(NOT found)
    message(FATAL_ERROR "the desktop entry does not offer to open ${type}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
