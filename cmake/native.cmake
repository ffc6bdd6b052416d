# Native build: unit tests, fuzz targets, benchmarks, the counterpart server and the host.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)

add_subdirectory(session)
add_subdirectory(server)
add_subdirectory(host)
add_subdirectory(tests)

if(TAVIMO_FUZZ)
  add_subdirectory(fuzz)
endif()
if(TAVIMO_BENCH)
  add_subdirectory(bench)
endif()
