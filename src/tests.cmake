# Tests: one _test file beside each module, and the program run as a user
# runs it.

find_package(GTest REQUIRED)

add_executable(capture_sink src/capture_sink.cpp)

add_executable(wavorbit_tests
  src/cmdline_test.cpp
  src/faults_test.cpp
  src/hostile_input_test.cpp
  src/loop_reader_test.cpp
  src/playback_test.cpp
  src/run_program.cpp
  src/sound_alsa_test.cpp
  src/sound_server_test.cpp
  src/test_main.cpp
  src/test_support.cpp
  src/wavorbit_test.cpp
  test/fault_support.cpp
  test/sound_server.cpp
)
target_include_directories(wavorbit_tests PRIVATE test)
target_link_libraries(wavorbit_tests PRIVATE wavorbit_core GTest::gtest)
target_compile_definitions(wavorbit_tests PRIVATE
  WAVORBIT_BINARY="$<TARGET_FILE:wavorbit>"
  CAPTURE_SINK="$<TARGET_FILE:capture_sink>"
  SOUND_ROUTE_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/test/sound_route.py"
  ALSA_FILE_ROUTE="${CMAKE_CURRENT_SOURCE_DIR}/test/alsa-file-route.conf")
add_dependencies(wavorbit_tests wavorbit capture_sink)

include(GoogleTest)
gtest_discover_tests(wavorbit_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
