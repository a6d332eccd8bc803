/* A host of KeltoS3.dll written in C, as a program built with another
 * compiler sees the DLL: the functions looked up by their plain names, the
 * interfaces called through their virtual tables as MSVC lays them out
 * (one pointer per virtual function in declaration order, the member
 * functions thiscall on 32-bit x86), and CBase64 through the names MSVC
 * gives its members.
 *
 * Usage: keltos3_dll_host SERVERS_ENV BUCKET
 *
 * It writes Kelto.ini beside itself for the test S3 server (BUCKET as both
 * buckets, 4 KiB chunks), then stores, lists, reads with seeking, measures,
 * synchronises between two local trees and deletes through the DLL.  Exits
 * with 0 when everything answered as expected. */

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#if defined(__i386__)
#define MEMBER __attribute__((thiscall))
#else
#define MEMBER
#endif

typedef struct KS3File KS3File;
typedef struct {
  int(MEMBER* Open)(KS3File*, const wchar_t*);
  int(MEMBER* Write)(KS3File*, const char*, int, int);
  int(MEMBER* Read)(KS3File*, void*, unsigned int);
  long long(MEMBER* GetSize)(KS3File*);
  int(MEMBER* Seek)(KS3File*, long long, int);
  int(MEMBER* Synchronize)(KS3File*, const wchar_t*, const wchar_t*, const wchar_t*);
  int(MEMBER* TestConnection)(KS3File*);
} KS3FileTable;
struct KS3File {
  const KS3FileTable* table;
};

typedef struct KS3FilesManager KS3FilesManager;
typedef struct {
  int(MEMBER* Reserved0)(KS3FilesManager*, int);
  int(MEMBER* Reserved1)(KS3FilesManager*, int);
  int(MEMBER* Reserved2)(KS3FilesManager*, int, int, int);
  int(MEMBER* Reserved3)(KS3FilesManager*, int);
  int(MEMBER* Reserved4)(KS3FilesManager*, int, int, int);
  int(MEMBER* Reserved5)(KS3FilesManager*, int);
  long long(MEMBER* Reserved6)(KS3FilesManager*, int);
  int(MEMBER* Reserved7)(KS3FilesManager*, int, int, int, int, int, int, int, int);
} KS3FilesManagerTable;
struct KS3FilesManager {
  const KS3FilesManagerTable* table;
};

typedef int(__cdecl* CreateFileFn)(KS3File**);
typedef int(__cdecl* DestroyFileFn)(KS3File**);
typedef int(__cdecl* CreateManagerFn)(KS3FilesManager**);
typedef int(__cdecl* DestroyManagerFn)(KS3FilesManager**);
typedef unsigned long long(__cdecl* GetUsedSpaceFn)(void);
typedef int(__cdecl* DeleteS3FileFn)(const wchar_t*);
typedef const wchar_t*(__cdecl* GetDirListFn)(void);

typedef void(MEMBER* Base64Constructor)(void*);
typedef void(MEMBER* Base64Destructor)(void*);
typedef int(MEMBER* Base64Encode)(void*, const unsigned char*, char*, int, int);
typedef int(MEMBER* Base64Decode)(void*, const char*, unsigned char*, int);

#if defined(__i386__)
#define MSVC_BASE64_CONSTRUCTOR "??0CBase64@@QAE@XZ"
#define MSVC_BASE64_DESTRUCTOR "??1CBase64@@UAE@XZ"
#define MSVC_BASE64_ENCODE "?EncodeBase64@CBase64@@QAEHPBEPADHH@Z"
#define MSVC_BASE64_DECODE "?DecodeBase64@CBase64@@QAEHPBDPAEH@Z"
#else
#define MSVC_BASE64_CONSTRUCTOR "??0CBase64@@QEAA@XZ"
#define MSVC_BASE64_DESTRUCTOR "??1CBase64@@UEAA@XZ"
#define MSVC_BASE64_ENCODE "?EncodeBase64@CBase64@@QEAAHPEBEPEADHH@Z"
#define MSVC_BASE64_DECODE "?DecodeBase64@CBase64@@QEAAHPEBDPEAEH@Z"
#endif

static int failures = 0;

#define CHECK(condition)                                                   \
  do {                                                                     \
    if (!(condition)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

static HMODULE dll;

static FARPROC Find(const char* name) {
  FARPROC function = GetProcAddress(dll, name);
  if (function == NULL) {
    fprintf(stderr, "KeltoS3.dll does not export %s\n", name);
    exit(2);
  }
  return function;
}

/* The value of NAME in the servers.env file, or exits. */
static void EnvValue(const char* file, const char* name, char* value, size_t size) {
  char line[1024];
  FILE* in = fopen(file, "r");
  const size_t length = strlen(name);
  if (in == NULL) {
    fprintf(stderr, "cannot read %s\n", file);
    exit(2);
  }
  while (fgets(line, sizeof line, in) != NULL) {
    if (strncmp(line, name, length) == 0 && line[length] == '=') {
      line[strcspn(line, "\r\n")] = '\0';
      snprintf(value, size, "%s", line + length + 1);
      fclose(in);
      return;
    }
  }
  fclose(in);
  fprintf(stderr, "%s lacks %s\n", file, name);
  exit(2);
}

/* The INI form of a credential (each character scrambled, four hex digits,
 * low byte first). */
static void Scrambled(const char* plain, char* out) {
  static const char key[] = "Ab4Moon2Is9Bright3";
  size_t i;
  for (i = 0; plain[i] != '\0'; ++i) {
    const unsigned c = (unsigned)(unsigned char)plain[i];
    const unsigned s = ~(c ^ (unsigned)key[i % 18]) & 0xFFFFu;
    sprintf(out + 4 * i, "%02X%02X", s & 0xFFu, s >> 8);
  }
  out[4 * i] = '\0';
}

static void HostPath(const char* posix, char* out, size_t size) {
  size_t i;
  snprintf(out, size, "Z:%s", posix);
  for (i = 0; out[i] != '\0'; ++i) {
    if (out[i] == '/') out[i] = '\\';
  }
}

/* This program's folder with a trailing backslash. */
static void HostFolder(wchar_t* folder) {
  wchar_t* slash;
  GetModuleFileNameW(NULL, folder, MAX_PATH);
  slash = wcsrchr(folder, L'\\');
  slash[1] = L'\0';
}

static void WriteIni(const char* servers_env, const char* bucket) {
  char value[1024], scrambled[4096], ca[1024];
  wchar_t path[MAX_PATH + 16];
  FILE* out;
  HostFolder(path);
  wcscat(path, L"Kelto.ini");
  out = _wfopen(path, L"w");
  if (out == NULL) exit(2);
  fprintf(out, "[ONLINE]\n");
  EnvValue(servers_env, "KELTOS3_TEST_ACCESS_KEY", value, sizeof value);
  Scrambled(value, scrambled);
  fprintf(out, "ACCOUNT=%s\n", scrambled);
  EnvValue(servers_env, "KELTOS3_TEST_SECRET_KEY", value, sizeof value);
  Scrambled(value, scrambled);
  fprintf(out, "PASSWORD=%s\n", scrambled);
  EnvValue(servers_env, "KELTOS3_TEST_S3_HOST", value, sizeof value);
  fprintf(out, "S3Host=%s\n", value);
  EnvValue(servers_env, "KELTOS3_TEST_S3_PORT", value, sizeof value);
  fprintf(out, "S3Port=%s\n", value);
  EnvValue(servers_env, "KELTOS3_TEST_CA", value, sizeof value);
  HostPath(value, ca, sizeof ca);
  fprintf(out, "CACertFile=%s\nRequestPause=0\nQuexS3BufferSize=4096\n", ca);
  fprintf(out, "QuexBucket=%s\nQuexDataBucket=%s\n", bucket, bucket);
  fclose(out);
}

static unsigned char Pattern(long long i) { return (unsigned char)(i * 7 + i / 251); }

/* The stored name of PATH as GetDirList lists its index object:
 * "$file$" PATH "_" stamp "_Info;". */
static int FindStoredName(GetDirListFn get_dir_list, const wchar_t* path, wchar_t* name) {
  const wchar_t* list = get_dir_list();
  wchar_t head[256];
  const wchar_t* at;
  swprintf(head, 256, L"$file$%ls_", path);
  at = list == NULL ? NULL : wcsstr(list, head);
  if (at != NULL) {
    const wchar_t* end = wcsstr(at, L"_Info;");
    const size_t length = (size_t)(end - at) - 6;
    if (end != NULL && length < 256) {
      wmemcpy(name, at + 6, length);
      name[length] = L'\0';
      return 1;
    }
  }
  return 0;
}

static void MakeTree(const wchar_t* root) {
  wchar_t path[MAX_PATH];
  CreateDirectoryW(root, NULL);
  swprintf(path, MAX_PATH, L"%ls\\docs", root);
  CreateDirectoryW(path, NULL);
}

static int WriteWholeFile(const wchar_t* path, const char* text) {
  DWORD written = 0;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
  CloseHandle(file);
  return written == strlen(text);
}

static int ReadWholeFile(const wchar_t* path, char* text, DWORD size) {
  DWORD read = 0;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  ReadFile(file, text, size - 1, &read, NULL);
  CloseHandle(file);
  text[read] = '\0';
  return 1;
}

int main(int argc, char** argv) {
  enum { kSize = 10000 };
  static char data[kSize];
  static char back[kSize];
  wchar_t folder[MAX_PATH], local[MAX_PATH], catalog[MAX_PATH], local2[MAX_PATH],
      catalog2[MAX_PATH], remote[MAX_PATH], path[MAX_PATH], name[256];
  KS3File* file = NULL;
  KS3FilesManager* manager = NULL;
  long long i;
  unsigned long long used;
  char text[64], servers_env[1024];

  if (argc != 3) {
    fprintf(stderr, "usage: keltos3_dll_host SERVERS_ENV BUCKET\n");
    return 2;
  }
  HostPath(argv[1], servers_env, sizeof servers_env);
  WriteIni(servers_env, argv[2]);
  dll = LoadLibraryW(L"KeltoS3.dll");
  if (dll == NULL) {
    fprintf(stderr, "cannot load KeltoS3.dll (error %lu)\n", GetLastError());
    return 2;
  }
  CreateFileFn create_file = (CreateFileFn)(void*)Find("CreateS3FileObject");
  DestroyFileFn destroy_file = (DestroyFileFn)(void*)Find("DestroyS3FileObject");
  CreateManagerFn create_manager = (CreateManagerFn)(void*)Find("CreateS3FileManagerObject");
  DestroyManagerFn destroy_manager = (DestroyManagerFn)(void*)Find("DestroyS3FileManagerObject");
  GetUsedSpaceFn get_used_space = (GetUsedSpaceFn)(void*)Find("GetUsedSpace");
  DeleteS3FileFn delete_file = (DeleteS3FileFn)(void*)Find("DeleteS3File");
  GetDirListFn get_dir_list = (GetDirListFn)(void*)Find("GetDirList");

  /* The manager: every slot answers 0, the 64-bit one in both halves. */
  CHECK(create_manager(&manager) == 0 && manager != NULL);
  if (manager != NULL) {
    CHECK(manager->table->Reserved0(manager, 1) == 0);
    CHECK(manager->table->Reserved2(manager, 1, 2, 3) == 0);
    CHECK(manager->table->Reserved6(manager, -1) == 0);
    CHECK(manager->table->Reserved7(manager, 1, 2, 3, 4, 5, 6, 7, 8) == 0);
  }
  CHECK(destroy_manager(&manager) == 0 && manager == NULL);

  /* Store a file of several chunks, in two writes. */
  for (i = 0; i < kSize; ++i) data[i] = (char)Pattern(i);
  get_dir_list(); /* makes the bucket */
  CHECK(create_file(&file) == 0 && file != NULL);
  if (file == NULL) return 1;
  CHECK(file->table->TestConnection(file) == 1);
  CHECK(file->table->Open(file, L"\\host\\data.bin") == 0);
  CHECK(file->table->Write(file, data, 6000, 0) == 0);
  CHECK(file->table->Write(file, data + 6000, kSize - 6000, 1) == 0);
  CHECK(destroy_file(&file) == 0 && file == NULL);

  /* List it, read it back with seeking, measure it. */
  CHECK(FindStoredName(get_dir_list, L"\\host\\data.bin", name));
  CHECK(create_file(&file) == 0);
  CHECK(file->table->Open(file, name) == 1);
  CHECK(file->table->GetSize(file) == kSize);
  CHECK(file->table->Read(file, back, kSize) == kSize && memcmp(back, data, kSize) == 0);
  CHECK(file->table->Seek(file, 8191, 0) == 0);
  CHECK(file->table->Read(file, back, 100) == 100 && memcmp(back, data + 8191, 100) == 0);
  CHECK(file->table->Seek(file, -10, 2) == 0);
  CHECK(file->table->Read(file, back, 100) == 10 && memcmp(back, data + kSize - 10, 10) == 0);
  /* Beyond the end by 4 GiB: only the whole 64-bit offset refuses it. */
  CHECK(file->table->Seek(file, 0x100000000LL + 5, 0) == 1);
  CHECK(destroy_file(&file) == 0);
  used = get_used_space();
  CHECK(used >= kSize);

  /* Synchronise a tree up, and down into a second machine's tree (fresh
   * folders: the catalogs must start empty). */
  GetTempPathW(MAX_PATH, folder);
  swprintf(folder + wcslen(folder), 64, L"keltos3-dll-host-%lu\\", GetCurrentProcessId());
  CreateDirectoryW(folder, NULL);
  swprintf(local, MAX_PATH, L"%lslocal", folder);
  swprintf(catalog, MAX_PATH, L"%lscatalog", folder);
  swprintf(local2, MAX_PATH, L"%lslocal2", folder);
  swprintf(catalog2, MAX_PATH, L"%lscatalog2", folder);
  MakeTree(local);
  CreateDirectoryW(catalog, NULL);
  CreateDirectoryW(local2, NULL);
  CreateDirectoryW(catalog2, NULL);
  swprintf(path, MAX_PATH, L"%ls\\docs\\a.txt", local);
  CHECK(WriteWholeFile(path, "synchronised through the DLL"));
  swprintf(remote, MAX_PATH, L"%hs\\synced", argv[2]);
  CHECK(create_file(&file) == 0);
  CHECK(file->table->Synchronize(file, local, catalog, remote) == 0);
  CHECK(file->table->Synchronize(file, local2, catalog2, remote) == 0);
  CHECK(destroy_file(&file) == 0);
  swprintf(path, MAX_PATH, L"%ls\\docs\\a.txt", local2);
  CHECK(ReadWholeFile(path, text, sizeof text) &&
        strcmp(text, "synchronised through the DLL") == 0);

  /* Delete the stored version. */
  CHECK(delete_file(name) == 0);
  CHECK(!FindStoredName(get_dir_list, L"\\host\\data.bin", name));
  CHECK(get_used_space() + kSize / 2 < used);

  /* CBase64 through the names MSVC gives its members. */
  {
    void* object[2] = {NULL, NULL}; /* the size of the class: its table pointer */
    char encoded[16];
    unsigned char decoded[16];
    ((Base64Constructor)(void*)Find(MSVC_BASE64_CONSTRUCTOR))(object);
    CHECK(object[0] != NULL);
    CHECK(((Base64Encode)(void*)Find(MSVC_BASE64_ENCODE))(
              object, (const unsigned char*)"hello", encoded, 5, 76) == 8);
    CHECK(strcmp(encoded, "aGVsbG8=") == 0);
    CHECK(((Base64Decode)(void*)Find(MSVC_BASE64_DECODE))(object, "aGVsbG8=", decoded, 8) == 5);
    CHECK(memcmp(decoded, "hello", 5) == 0);
    ((Base64Destructor)(void*)Find(MSVC_BASE64_DESTRUCTOR))(object);
  }

  if (failures == 0) printf("keltos3_dll_host: every check passed\n");
  return failures == 0 ? 0 : 1;
}
