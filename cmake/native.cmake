# Native build: unit tests, fuzz targets, benchmarks, the counterpart server.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)

add_subdirectory(server)
add_subdirectory(tests)

if(TAVIMO_FUZZ)
  add_subdirectory(fuzz)
endif()
if(TAVIMO_BENCH)
  add_subdirectory(bench)
endif()
