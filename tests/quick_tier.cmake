# The quick tier (CTest label `quick`, run by `./run test quick`): the
# GoogleTest suites every case of which runs inside the test process alone.
# A suite belongs here only when none of its cases
#   - talks to a test server: the S3 server, the fault-injecting stub or the
#     proxy that tests/fixtures/servers.sh starts (nor skips without them);
#   - starts a child process: fork, exec or posix_spawn of keltos3, the
#     snapshot agent, a helper, a shell, setpriv, unshare...
# Threads are fine, and so are in-process fakes of the HTTP layer and
# connections to a port where nothing listens.  Quick cases carry no
# FIXTURES_REQUIRED, so CTest runs them without starting the servers: a
# suite that comes to need a server or a child process must leave the list.
set(KELTOS3_QUICK_SUITES
  Base64Test
  ChunkCheckTest
  ConflictCopyNameTest
  ContentTypesTest
  Disk/FileSystemContractTest
  EventReporterTest
  Faults/LocalCopyFaultTest
  FileTimeTest
  HttpCurlTest
  HttpDateTest
  HttpRequestTest
  IndexRecordTest
  InfoIndexTest
  IniTest
  LastErrorTest
  ListResultTest
  LocalFileSystemTest
  ManagerTest
  NameRulesTest
  ObjectKeysTest
  ProfileTest
  QueryStringTest
  QuexFSManagerTest
  S3ClientTest
  S3ConfigTest
  S3FileFakeStoreTest
  S3FileLimitTest
  S3TreeListingTest
  ScrambleTextTest
  SharedThrottleTest
  SignatureTest
  SigningTest
  SigningV4Test
  SnapshotTreeListingTest
  SortedMapTest
  StringToSignTest
  SyncEngineTest
  SystemLogTest
  ThrottleTest
  TimeTextTest
  TreeNamesTest
  UrlEncodeTest
  WideStringTest
  Win32NameRulesTest
  XmlTextTest)

# keltos3_quick_filters(OUT_POSITIVE OUT_NEGATIVE): GoogleTest filters for
# gtest_discover_tests' TEST_FILTER, "Suite1.*:Suite2.*" selecting the quick
# suites and "-Suite1.*:Suite2.*" selecting all the others.
function(keltos3_quick_filters out_positive out_negative)
  list(TRANSFORM KELTOS3_QUICK_SUITES APPEND ".*" OUTPUT_VARIABLE patterns)
  list(JOIN patterns ":" filter)
  set(${out_positive} "${filter}" PARENT_SCOPE)
  set(${out_negative} "-${filter}" PARENT_SCOPE)
endfunction()
