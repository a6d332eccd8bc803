// The few things the tests need from the operating system that differ
// between the POSIX and the Windows test builds: the process id, the
// environment, and the forms of a path.
//
// A test writes paths in its own form: UTF-8 text with "/" between names
// below a directory that TempDir or FsScratchDir made (on Windows that
// directory is a Windows path such as "C:\users\me\Temp\keltos3-x", to
// which "/a/b" may be appended).  The library takes paths in its own form,
// UTF-16 with "\" separators (LibraryPath), and the C++ library in its
// native form (FsPath).

#ifndef KELTOS3_TESTS_SUPPORT_TEST_PLATFORM_H_
#define KELTOS3_TESTS_SUPPORT_TEST_PLATFORM_H_

#include <filesystem>
#include <string>

namespace testsupport {

long CurrentProcessId();

// Sets or removes a variable of this process's environment, as seen by
// getenv and by the library.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

// A test path (UTF-8) for the C++ library, whatever the narrow code page.
std::filesystem::path FsPath(const std::string& path);

// A test path in the library's form.
std::u16string LibraryPath(const std::string& path);

// An absolute path on the machine the tests run on (the test servers'
// files, the build tree) as this process names it: unchanged on POSIX, on
// the drive that maps the root of the Unix file system ("Z:\...") under
// Wine.
std::string HostPath(const std::string& posix_path);

// Whether the library reads the INI file through Env::OpenFile, where a
// test can count the readings: the POSIX reader does, the Win32 one reads
// through GetPrivateProfileStringW, which no seam sees.
bool IniReadsAreSeen();

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_TEST_PLATFORM_H_
