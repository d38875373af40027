# Installs the build into a scratch prefix and checks that everything a desktop needs is there:
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch> -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

include(GNUInstallDirs)
set(share ${CMAKE_INSTALL_DATADIR})
set(files ${CMAKE_INSTALL_BINDIR}/velkaro ${CMAKE_INSTALL_BINDIR}/velkaro-cli
          ${CMAKE_INSTALL_LIBEXECDIR}/velkaro/fftw_helper ${share}/applications/velkaro.desktop
          ${share}/icons/hicolor/256x256/apps/velkaro.png ${share}/velkaro/help/tutorial.html
          ${share}/velkaro/help/faq.html)
foreach(picture velkaro processing drop led_on led_off led_processing1 led_processing2)
  list(APPEND files ${share}/velkaro/${picture}.png)
endforeach()
foreach(file ${files})
  if(NOT EXISTS "${PREFIX}/${file}" OR IS_DIRECTORY "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

file(READ "${PREFIX}/${share}/applications/velkaro.desktop" entry)
foreach(line "[Desktop Entry]" "Type=Application" "Exec=velkaro %f" "Icon=velkaro")
  string(FIND "${entry}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the desktop entry lacks \"${line}\"")
  endif()
endforeach()
foreach(type image/jpeg image/png image/tiff)
  if(NOT entry MATCHES "\nMimeType=[^\n]*${type};")
    message(FATAL_ERROR "the desktop entry does not offer to open ${type}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
