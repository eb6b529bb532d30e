# libFuzzer targets (clang only): the command-line splitter and the sound
# file path.  Configure with -DWAVORBIT_FUZZ=ON, usually together with
# -DWAVORBIT_SANITIZE=address,undefined; scripts/fuzz.sh does both.

add_executable(cmdline_fuzz fuzz/cmdline_fuzz.cpp)
target_link_libraries(cmdline_fuzz PRIVATE wavorbit_core)

add_executable(play_fuzz fuzz/play_fuzz.cpp)
target_link_libraries(play_fuzz PRIVATE test_support)

foreach(target cmdline_fuzz play_fuzz)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endforeach()
