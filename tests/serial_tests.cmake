# Read by CTest after the test discovery: the tests that stop and start the
# shared S3 server run alone, as they would break every test running beside
# them; the thousand-file synchronisation, some ten thousand requests, may
# take longer than the others.
foreach(test_name IN LISTS keltos3_tests_STANDARD keltos3_tests_SNAPSHOT)
  if(test_name MATCHES "^(snapshot\\.)?SyncServerOutageTest\\.")
    set_tests_properties("${test_name}" PROPERTIES RUN_SERIAL TRUE)
  endif()
  if(test_name MATCHES "^(snapshot\\.)?SyncCapacityTest\\.")
    set_tests_properties("${test_name}" PROPERTIES TIMEOUT 900)
  endif()
endforeach()
