# Windows build: the viewer and the Windows-side tests, which run under Wine.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)
add_link_options(-static -static-libgcc -static-libstdc++)

# Win32 glue around the portable logic; the entry point and the real message box stay
# out, so the tests can link all of it.
add_library(tavimo_win STATIC
  app/globals.cpp
  connect/connect_dialog_win.cpp
  connect/host_history_store_win.cpp
  net/net_connection_win.cpp
  net/frame_channel_win.cpp
  display/frame_image_win.cpp
  display/viewport_win.cpp
  net/receiver_thread_win.cpp
  input/input_capture_win.cpp
  input/input_sender_win.cpp
  app/main_window.cpp
  app/tray_icon.cpp
  app/about_box.cpp
)
# normaliz: IdnToAscii, where the platform documents it.
target_link_libraries(tavimo_win PUBLIC tavimo_core ws2_32 gdi32 user32 shell32 normaliz)

# The program itself: the entry point, the real message box and the resources.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TAVIMO_MANIFEST_ARCH amd64)
else()
  set(TAVIMO_MANIFEST_ARCH x86)
endif()
configure_file(res/tavimo.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/res/tavimo.manifest @ONLY)
add_executable(Tavimo WIN32 app/win_main.cpp app/message_box.cpp res/tavimo.rc)
target_include_directories(Tavimo PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/res ${CMAKE_CURRENT_BINARY_DIR}/res)
target_link_options(Tavimo PRIVATE -municode)
target_link_libraries(Tavimo PRIVATE tavimo_win)

add_subdirectory(session)
# TavimoHost.exe's parts.
add_subdirectory(winhost)

include(GoogleTest)
add_subdirectory(tests/win)

# Frames per second under Wine (scripts/bench.sh runs it).
add_executable(stream_bench bench/win/stream_bench.cpp tests/win/support/test_server.cpp
  tests/win/support/recorded_messages.cpp)
target_link_libraries(stream_bench PRIVATE tavimo_win)

# The Windows host's capture and change check next to the encode, under Wine (scripts/bench.sh).
add_executable(capture_bench bench/win/capture_bench.cpp)
target_link_libraries(capture_bench PRIVATE tavimo_winhost)
