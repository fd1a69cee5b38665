# Cross build: the helper driver, the program that carries it, and the
# GoogleTest binary that runs under Wine.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_SOURCE_DIR}/resources")
set(PROGRAM_DEFINITIONS _WIN32_WINNT=0x0501 WINVER=0x0501 UNICODE _UNICODE)
set(NO_TIMESTAMP -Wl,--no-insert-timestamp)
# Windows XP (5.1) in the PE header. The linker's default, 4.0, marks an
# image as built for NT 4: the kernel then leaves a driver's code writable.
set(XP_IMAGE_VERSION -Wl,--major-os-version,5 -Wl,--minor-os-version,1
  -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1)
# How every kernel driver here links, the shipped one and the test drivers.
set(DRIVER_LINK_OPTIONS -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000 -Wl,--dynamicbase ${NO_TIMESTAMP} ${XP_IMAGE_VERSION})

# --- KorvaleNoQuorVallin.sys -------------------------------------------------
add_library(driver_core OBJECT ${CMAKE_SOURCE_DIR}/driver/core/HijackReply.cpp ${CMAKE_SOURCE_DIR}/driver/core/KernelRanges.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/HelperAccess.cpp)
file(GLOB DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/driver/*.cpp)
add_executable(helper_driver ${DRIVER_SOURCES} $<TARGET_OBJECTS:driver_core>)
set(DRIVER_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics -Wall -Wextra -Wframe-larger-than=2048)
foreach(target driver_core helper_driver)
  target_compile_options(${target} PRIVATE ${DRIVER_FLAGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} /usr/i686-w64-mingw32/include/ddk)
endforeach()
set_target_properties(helper_driver PROPERTIES OUTPUT_NAME KorvaleNoQuorVallin SUFFIX .sys)
target_link_options(helper_driver PRIVATE ${DRIVER_LINK_OPTIONS})
target_link_libraries(helper_driver PRIVATE ntoskrnl gcc)

# --- resources: the driver, the icon, the manifest ---------------------------
set(DRIVER_IMAGE ${CMAKE_BINARY_DIR}/KorvaleNoQuorVallin.sys)
configure_file(${CMAKE_SOURCE_DIR}/resources/KorvaleNoQuorVallin.rc.in
               ${CMAKE_BINARY_DIR}/KorvaleNoQuorVallin.rc @ONLY)
set(RESOURCE_SCRIPT ${CMAKE_BINARY_DIR}/KorvaleNoQuorVallin.rc)
set_source_files_properties(${RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS
  "${DRIVER_IMAGE};${CMAKE_SOURCE_DIR}/resources/KorvaleNoQuorVallin.ico;${CMAKE_SOURCE_DIR}/resources/KorvaleNoQuorVallin.manifest")

# --- the program's Win32 layer and KorvaleNoQuorVallin.exe -------------------------------------------------
file(GLOB PROGRAM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/program/*/*.cpp)
list(FILTER PROGRAM_SOURCES EXCLUDE REGEX "/program/run/Main\\.cpp$")
add_library(program_layer STATIC ${PROGRAM_SOURCES})
target_link_libraries(program_layer PUBLIC core)
target_compile_definitions(program_layer PUBLIC ${PROGRAM_DEFINITIONS})
target_compile_options(program_layer PRIVATE -Wall -Wextra)
set(PROGRAM_LIBS shell32 shlwapi advapi32 user32 kernel32)

if(MINGW_THREADS STREQUAL "win32")
add_executable(program ${CMAKE_SOURCE_DIR}/program/run/Main.cpp ${RESOURCE_SCRIPT})
add_dependencies(program helper_driver)
set_target_properties(program PROPERTIES OUTPUT_NAME KorvaleNoQuorVallin)
target_link_libraries(program PRIVATE program_layer ${PROGRAM_LIBS})
target_link_options(program PRIVATE -municode -static -s ${NO_TIMESTAMP} ${XP_IMAGE_VERSION})

# --- make demo: never shipped, built only when asked for ----------------------
# KorvaleDemo.exe is the program linked with the Wine tests' stand-ins for
# what Wine lacks (demo/DemoMain.cpp says which). The substitute raw copy
# defines RawCopyFile, so the engine's object in program_layer is never
# linked in (were it ever needed for another symbol, the link would fail on
# the second RawCopyFile rather than pick one).
add_executable(demo_program EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/demo/DemoMain.cpp
  ${CMAKE_SOURCE_DIR}/tests/wine/scan/RawCopySubstitute.cpp ${RESOURCE_SCRIPT})
add_dependencies(demo_program helper_driver)
set_target_properties(demo_program PROPERTIES OUTPUT_NAME KorvaleDemo)
target_include_directories(demo_program PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(demo_program PRIVATE program_layer ${PROGRAM_LIBS})
target_link_options(demo_program PRIVATE -municode -static)
# What the demo runs as the executable hidden in a data stream.
add_executable(demo_hidden_executable EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/demo/HiddenExecutable.cpp)
set_target_properties(demo_hidden_executable PROPERTIES OUTPUT_NAME KorvaleDemoHidden)
target_link_options(demo_hidden_executable PRIVATE -static -s)
endif()

if(MINGW_THREADS STREQUAL "posix")
# --- the Wine tier -----------------------------------------------------------
file(GLOB WINE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/*.cpp)
# The helper driver's exception guard is plain x86 code, tested in user mode.
add_executable(wine_tests ${WINE_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/driver/SehGuard.cpp ${RESOURCE_SCRIPT})
add_dependencies(wine_tests helper_driver)
target_include_directories(wine_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(wine_tests PRIVATE DRIVER_IMAGE_NAME="KorvaleNoQuorVallin.sys")
target_link_libraries(wine_tests PRIVATE program_layer GTest::gtest_main ${PROGRAM_LIBS})
target_link_options(wine_tests PRIVATE -static)

# Test-only kernel drivers, built next to wine_tests.exe and never shipped:
# builds of the helper driver that also report the probe's answer in the
# reply's first reserved byte (one of them faults inside the probe), and a
# device under the rootkit's device name that answers opens as the rootkit
# does, or normally.
function(add_test_driver target output)
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE ${DRIVER_FLAGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} /usr/i686-w64-mingw32/include/ddk)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output} SUFFIX .sys)
  target_link_options(${target} PRIVATE ${DRIVER_LINK_OPTIONS})
  target_link_libraries(${target} PRIVATE ntoskrnl gcc)
  add_dependencies(wine_tests ${target})
endfunction()
add_test_driver(probe_report_driver KorvaleProbeReport ${DRIVER_SOURCES} $<TARGET_OBJECTS:driver_core>)
target_compile_definitions(probe_report_driver PRIVATE HELPER_REPORTS_PROBE)
add_test_driver(probe_fault_driver KorvaleProbeFault ${DRIVER_SOURCES} $<TARGET_OBJECTS:driver_core>)
target_compile_definitions(probe_fault_driver PRIVATE HELPER_REPORTS_PROBE HELPER_PROBE_FAULTS)
# A build of the helper whose privilege check says no to every user-mode caller.
add_test_driver(refusing_driver KorvaleRefusesCallers ${DRIVER_SOURCES} $<TARGET_OBJECTS:driver_core>)
target_compile_definitions(refusing_driver PRIVATE HELPER_REFUSES_EVERY_CALLER)
# The inspection's object type argument, checked against the kernel's export.
add_test_driver(object_type_driver TestObjectTypeArgument ${CMAKE_SOURCE_DIR}/tests/wine/drivers/ObjectTypeArgument.cpp
  ${CMAKE_SOURCE_DIR}/driver/Inspection.cpp ${CMAKE_SOURCE_DIR}/driver/SehGuard.cpp $<TARGET_OBJECTS:driver_core>)
add_test_driver(rootkit_device_driver TestRootkitDevice ${CMAKE_SOURCE_DIR}/tests/wine/drivers/LookalikeDevice.cpp)
target_compile_definitions(rootkit_device_driver PRIVATE ANSWER_LIKE_THE_ROOTKIT)
add_test_driver(ordinary_device_driver TestOrdinaryDevice ${CMAKE_SOURCE_DIR}/tests/wine/drivers/LookalikeDevice.cpp)
# Stand-ins for the disk class driver, which Wine lacks: the walk to the
# driver beneath the first disk then runs in Wine's kernel.
set(DISK_STAND_IN ${CMAKE_SOURCE_DIR}/tests/wine/drivers/DiskClassStandIn.cpp)
add_test_driver(disk_hooked_driver TestDiskHooked ${DISK_STAND_IN})
add_test_driver(disk_unhooked_driver TestDiskUnhooked ${DISK_STAND_IN})
target_compile_definitions(disk_unhooked_driver PRIVATE LAST_CODE_BYTE_DIFFERS)
add_test_driver(disk_bad_extension_driver TestDiskBadExtension ${DISK_STAND_IN})
target_compile_definitions(disk_bad_extension_driver PRIVATE EXTENSION_POINTS_ELSEWHERE)
add_test_driver(disk_unnamed_ahead_driver TestDiskUnnamedAhead ${DISK_STAND_IN})
target_compile_definitions(disk_unnamed_ahead_driver PRIVATE UNNAMED_DEVICE_AHEAD)
add_test_driver(disk_ring_ahead_driver TestDiskRingAhead ${DISK_STAND_IN})
target_compile_definitions(disk_ring_ahead_driver PRIVATE DEVICE_RING_AHEAD)
endif()

if(MINGW_THREADS STREQUAL "posix")
# --- the driver scan under Wine -----------------------------------------------
# Wine cannot read a volume raw, so the real raw copy engine always fails
# there. This second test binary links the Win32 layer without the engine's
# copy (program/rawread/RawCopy*.cpp) and with a substitute that writes what
# each test plans, so the scan's judgement can be tested in a real prefix.
file(GLOB SCAN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/scan/*.cpp)
set(SCAN_PROGRAM_SOURCES ${PROGRAM_SOURCES})
list(FILTER SCAN_PROGRAM_SOURCES EXCLUDE REGEX "/program/rawread/RawCopy[^/]*\\.cpp$")
add_executable(wine_scan_tests ${SCAN_TEST_SOURCES} ${SCAN_PROGRAM_SOURCES})
target_include_directories(wine_scan_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(wine_scan_tests PRIVATE ${PROGRAM_DEFINITIONS})
target_link_libraries(wine_scan_tests PRIVATE core GTest::gtest_main ${PROGRAM_LIBS})
target_link_options(wine_scan_tests PRIVATE -static)
# The whole-run test in this binary deploys the real helper driver from the
# program's resource.
target_sources(wine_scan_tests PRIVATE ${RESOURCE_SCRIPT})
add_dependencies(wine_scan_tests helper_driver)

# The cleanup's benchmarks (bench/cleanup.sh), run under Wine; not a test.
add_executable(cleanup_bench ${CMAKE_SOURCE_DIR}/bench/cleanup_bench.cpp)
target_include_directories(cleanup_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(cleanup_bench PRIVATE program_layer ${PROGRAM_LIBS})
target_link_options(cleanup_bench PRIVATE -static)
endif()
