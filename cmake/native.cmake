# Native (Linux) build: the core's tests and the raw reader's image tests.
enable_testing()

file(GLOB NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*.cpp)
add_executable(native_tests ${NATIVE_TEST_SOURCES})
target_link_libraries(native_tests PRIVATE core GTest::gtest_main)
add_test(NAME native COMMAND native_tests)

file(GLOB IMAGE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/images/*.cpp)
if(IMAGE_TEST_SOURCES)
  add_executable(image_tests ${IMAGE_TEST_SOURCES})
  target_link_libraries(image_tests PRIVATE core GTest::gtest_main)
  # The images live in a scratch folder that is removed however the tests end.
  add_test(NAME images COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-scratch.sh $<TARGET_FILE:image_tests>)
endif()

# The raw copy loop benchmark (make bench); not a test.
add_executable(rawread_bench ${CMAKE_SOURCE_DIR}/bench/rawread_bench.cpp)
target_link_libraries(rawread_bench PRIVATE core)

# The scan's other passes, timed natively (make bench-passes); not a test.
add_executable(scan_passes ${CMAKE_SOURCE_DIR}/bench/scan_passes.cpp)
