# The Windows half: the Win32 bindings of the WSL layer and the window, and
# the product itself, dist/QuenvaleEnroll.exe.

add_library(qv_win32 STATIC
  wsl/host_probes_win32.cpp
  wsl/process_runner_win32.cpp
)
target_link_libraries(qv_win32 PUBLIC qv_portable)
target_compile_options(qv_win32 PRIVATE ${QV_PRODUCT_FLAGS})
target_compile_definitions(qv_win32 PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(qv_win32 PUBLIC shell32)

add_library(qv_ui STATIC
  ui/base64_win32.cpp
  ui/main_window.cpp
  ui/worker_thread.cpp
)
target_link_libraries(qv_ui PUBLIC qv_win32)
target_compile_options(qv_ui PRIVATE ${QV_PRODUCT_FLAGS})

# A window program (no console), Unicode entry point, nothing of the MinGW
# runtime left to load at run time. No link timestamp and no build folder
# in the binary: two clean builds from any two folders are bit-identical.
# The linker's defaults keep ASLR (high entropy) and DEP on.
add_executable(QuenvaleEnroll WIN32 ui/entry.cpp)
target_link_libraries(QuenvaleEnroll PRIVATE qv_ui)
target_compile_options(QuenvaleEnroll PRIVATE ${QV_PRODUCT_FLAGS})
target_link_options(QuenvaleEnroll PRIVATE -municode -mwindows -static -s
  -Wl,--no-insert-timestamp -Wl,--gc-sections -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
