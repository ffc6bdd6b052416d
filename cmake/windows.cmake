# Windows build: the viewer and the Windows-side tests, which run under Wine.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)
add_link_options(-static -static-libgcc -static-libstdc++)

# Win32 glue around the portable logic; the entry point and the real message box stay
# out, so the tests can link all of it.
add_library(tavimo_win STATIC
  app/globals.cpp
  connect/connect_dialog.cpp
  net/net_connection.cpp
  net/frame_channel.cpp
  display/frame_image.cpp
)
target_link_libraries(tavimo_win PUBLIC tavimo_core ws2_32 gdi32 user32)

include(GoogleTest)
add_subdirectory(tests/win)
