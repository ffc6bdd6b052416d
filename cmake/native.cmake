# Native build: unit tests, fuzz targets, benchmarks, the counterpart server and the host.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)
# The host reads the X screen (its pixel layouts named as TurboJPEG names them); its tests decode with TurboJPEG.
find_package(X11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET GLOBAL libturbojpeg)
# The X host's whole-screen reads in strips, the requests sent at once.
pkg_check_modules(XCB_SHM REQUIRED IMPORTED_TARGET GLOBAL x11-xcb xcb-shm)
# Wayland clients of the tests and benchmarks: xdg-shell's client code from its XML.
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(WAYLAND_PROTOCOLS wayland-protocols pkgdatadir)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
set(xdg_shell ${WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml)
set(xdg_out ${PROJECT_BINARY_DIR}/wayland)
add_custom_command(OUTPUT ${xdg_out}/xdg-shell-client-protocol.h ${xdg_out}/xdg-shell-protocol.c
  COMMAND ${CMAKE_COMMAND} -E make_directory ${xdg_out}
  COMMAND ${WAYLAND_SCANNER} client-header ${xdg_shell} ${xdg_out}/xdg-shell-client-protocol.h
  COMMAND ${WAYLAND_SCANNER} private-code ${xdg_shell} ${xdg_out}/xdg-shell-protocol.c
  DEPENDS ${xdg_shell})
add_library(tavimo_xdg_shell STATIC ${xdg_out}/xdg-shell-protocol.c ${xdg_out}/xdg-shell-client-protocol.h)
target_include_directories(tavimo_xdg_shell PUBLIC ${xdg_out})
target_link_libraries(tavimo_xdg_shell PUBLIC PkgConfig::WAYLAND_CLIENT)

add_subdirectory(session)
add_subdirectory(server)
add_subdirectory(host)
add_subdirectory(winhost)
add_subdirectory(tests)

if(TAVIMO_FUZZ)
  add_subdirectory(fuzz)
endif()
if(TAVIMO_BENCH)
  add_subdirectory(bench)
endif()
