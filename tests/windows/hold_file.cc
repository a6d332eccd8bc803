// keltos3_hold_file write|read|none PATH: opens PATH for reading and
// writing, letting others read and write it ("write"), only read it
// ("read") or sharing nothing ("none"), writes
// "1" (or "0" when the open failed) to standard output, and keeps the file
// open until its standard input ends.  The Windows tests use it as the
// other process that holds a file in use.

#include <windows.h>
#include <shellapi.h>

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  HANDLE file = INVALID_HANDLE_VALUE;
  if (args != nullptr && count == 3) {
    const DWORD sharing = lstrcmpW(args[1], L"write") == 0  ? FILE_SHARE_READ | FILE_SHARE_WRITE
                          : lstrcmpW(args[1], L"read") == 0 ? FILE_SHARE_READ
                                                            : 0;
    file = CreateFileW(args[2], GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  const char status = file != INVALID_HANDLE_VALUE ? '1' : '0';
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), &status, 1, &done, nullptr);
  char ignored[64];
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof ignored, &done, nullptr) &&
         done > 0) {
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return status == '1' ? 0 : 1;
}
