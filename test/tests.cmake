# Tests: one _test file beside each module in src/, and the program run
# as a user runs it; what only the tests use is here in test/.

find_package(GTest REQUIRED)

add_executable(capture_sink test/capture_sink.cpp)

# Fixtures, files and sound routes, without GoogleTest: also for the fuzz
# targets.
add_library(test_support STATIC test/support.cpp)
target_include_directories(test_support PUBLIC test)
target_link_libraries(test_support PUBLIC wavorbit_core)
target_compile_definitions(test_support PRIVATE
  CAPTURE_SINK="$<TARGET_FILE:capture_sink>"
  ALSA_FILE_ROUTE="${CMAKE_CURRENT_SOURCE_DIR}/test/alsa-file-route.conf")
add_dependencies(test_support capture_sink)

add_executable(wavorbit_tests
  src/cmdline_test.cpp
  src/faults_test.cpp
  src/hostile_input_test.cpp
  src/loop_reader_test.cpp
  src/playback_test.cpp
  src/sound_alsa_test.cpp
  src/sound_server_test.cpp
  src/wavorbit_test.cpp
  test/loop_check.cpp
  test/main.cpp
  test/program.cpp
  test/sound_server.cpp
)
target_link_libraries(wavorbit_tests PRIVATE test_support GTest::gtest)
target_compile_definitions(wavorbit_tests PRIVATE
  WAVORBIT_BINARY="$<TARGET_FILE:wavorbit>"
  SOUND_ROUTE_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/test/sound_route.py")
add_dependencies(wavorbit_tests wavorbit)

include(GoogleTest)
gtest_discover_tests(wavorbit_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
