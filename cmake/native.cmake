# Native build: unit tests, fuzz targets, benchmarks, the counterpart server and the host.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)
# The host reads the X screen and encodes with TurboJPEG; its tests decode with it.
find_package(X11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET GLOBAL libturbojpeg)

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
