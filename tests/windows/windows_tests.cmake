# The tests of the Windows build, registered with CTest on the Linux host
# that cross-compiled them (included from tests/CMakeLists.txt when WIN32).
#
# - windows_exports_*: the export tables of the DLLs (objdump -p).
# - windows.*: the test programs under Wine (wine_suite.sh), against test
#   servers started on loopback as for the Linux suite.  Each test program
#   runs whole in a few shards (GoogleTest's own sharding), so that CTest
#   can run them side by side and one Wine process start serves many cases.

# The programs of a 32-bit build run in a 32-bit Wine prefix of their own.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELTOS3_WINE_ARCH win64)
else()
  set(KELTOS3_WINE_ARCH win32)
endif()
set(KELTOS3_WINE_SUITE env KELTOS3_WINE_ARCH=${KELTOS3_WINE_ARCH}
    ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_suite.sh)
set(KELTOS3_WINE_STATE_DIR ${CMAKE_BINARY_DIR}/test-wine)
# Shards per test program; more keep both cores busy to the end of the run.
set(KELTOS3_WINDOWS_SHARDS 4 CACHE STRING "shards of each Windows test program")

# The module-definition file the DLLs of this architecture are linked with.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELTOS3_DEF_FILE ${PROJECT_SOURCE_DIR}/src/boundary/KeltoS3-x64.def)
else()
  set(KELTOS3_DEF_FILE ${PROJECT_SOURCE_DIR}/src/boundary/KeltoS3-x86.def)
endif()
foreach(dll_target KeltoS3 KeltoS3_snapshot)
  add_test(NAME windows_exports_${dll_target}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_exports.sh ${CMAKE_OBJDUMP}
            $<TARGET_FILE:${dll_target}> ${KELTOS3_DEF_FILE})
endforeach()

add_test(NAME windows_wine_start COMMAND ${KELTOS3_WINE_SUITE} start ${KELTOS3_WINE_STATE_DIR})
add_test(NAME windows_wine_stop COMMAND ${KELTOS3_WINE_SUITE} stop ${KELTOS3_WINE_STATE_DIR})
set_tests_properties(windows_wine_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(windows_wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# keltos3_windows_test(NAME SERVERS_FIXTURE STATE_DIR [--expect REGEX] PROGRAM [ARGS...])
function(keltos3_windows_test name fixture state_dir)
  add_test(NAME ${name}
    COMMAND ${KELTOS3_WINE_SUITE} run ${KELTOS3_WINE_STATE_DIR} ${state_dir}/servers.env ${ARGN})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED "wine;${fixture}" TIMEOUT 1200)
endfunction()

# Left to the Linux suite: the version of 99 999 one-byte chunks reads the
# settings afresh for every chunk, which takes the better part of an hour
# through Wine's profile calls; the limit it checks is the same code on both
# platforms.
set(KELTOS3_WINDOWS_SKIPPED S3FileLimitTest.VersionOfMoreThan99999ChunksIsRefused)
# The cases that stop and start the shared S3 server run alone, after the
# shards, as in the Linux suite: beside them every other program's requests
# would be refused for seconds.
set(KELTOS3_WINDOWS_SERIAL SyncServerOutageTest.*)

# The one test program runs once per layout, each run against servers of
# its own (support/test_layout.h).
foreach(variant "" "snapshot_")
  if(variant STREQUAL "")
    set(run keltos3_tests)
    set(state_dir ${KELTOS3_TEST_STATE_DIR})
    set(layout_env "")
  else()
    set(run keltos3_snapshot_tests)
    set(state_dir ${KELTOS3_SNAPSHOT_TEST_STATE_DIR})
    set(layout_env "KELTOS3_TEST_LAYOUT=snapshot;")
  endif()
  math(EXPR last_shard "${KELTOS3_WINDOWS_SHARDS} - 1")
  foreach(shard RANGE ${last_shard})
    set(name windows.${run}.shard${shard})
    keltos3_windows_test(${name} ${variant}test_servers ${state_dir}
                         $<TARGET_FILE:keltos3_tests> --gtest_brief=1
                         --gtest_filter=-WindowsHost.*:${KELTOS3_WINDOWS_SKIPPED}:${KELTOS3_WINDOWS_SERIAL})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
      "${layout_env}GTEST_TOTAL_SHARDS=${KELTOS3_WINDOWS_SHARDS};GTEST_SHARD_INDEX=${shard}")
  endforeach()
  set(name windows.${run}.serial)
  keltos3_windows_test(${name} ${variant}test_servers ${state_dir}
                       $<TARGET_FILE:keltos3_tests> --gtest_brief=1
                       --gtest_filter=${KELTOS3_WINDOWS_SERIAL})
  set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  if(NOT layout_env STREQUAL "")
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${layout_env}")
  endif()
endforeach()

# The cases that write Kelto.ini beside the test program run alone, with
# the event-log calls traced: the record of the S3 error must show the
# source, the error type (1), category 0, event 0xC0020001 and one string,
# the S3 code.
keltos3_windows_test(windows.event_log test_servers ${KELTOS3_TEST_STATE_DIR}
  --expect "RegisterEventSourceW \\(\\(null\\),L\"KeltoS3OnlineBackup\"\\)"
  --expect "ReportEventW \\([0-9A-Fa-f]+,0x0001,0x0000,0xc0020001,[0-9A-Fa-f]+,0x0001,"
  --expect "err:eventlog:ReportEventW L\"NoSuchBucket\""
  $<TARGET_FILE:keltos3_tests> --gtest_filter=WindowsHost.*)
set_tests_properties(windows.event_log PROPERTIES
  ENVIRONMENT "WINEDEBUG=-all,fixme+advapi,err+eventlog" RUN_SERIAL TRUE)

# A host written in C uses the DLL as a program of another compiler would
# (names looked up, interfaces called through their tables, CBase64 by its
# MSVC names): it stores, lists, reads, measures, synchronises and deletes
# against the S3 test server.  It lives in a folder of its own with a copy of
# the DLL and its own Kelto.ini.
enable_language(C)
add_executable(keltos3_dll_host ${CMAKE_CURRENT_SOURCE_DIR}/windows/dll_host.c)
set_target_properties(keltos3_dll_host PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dll_host)
add_custom_command(TARGET keltos3_dll_host POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:KeltoS3>
          ${CMAKE_BINARY_DIR}/dll_host/)
add_dependencies(keltos3_dll_host KeltoS3)
keltos3_windows_test(windows.dll_host test_servers ${KELTOS3_TEST_STATE_DIR}
  $<TARGET_FILE:keltos3_dll_host>
  ${KELTOS3_TEST_STATE_DIR}/servers.env keltos3-dll-host)
