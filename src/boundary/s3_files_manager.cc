#include "boundary/s3_files_manager.h"

#include "platform/env.h"

S3FilesManager::S3FilesManager() : m_iFolderReady(0) {
  platform::Env* env = platform::CurrentEnv();
  m_strWorkingFolder = env->GetModuleFileName();
  const size_t slash = m_strWorkingFolder.rfind(u'\\');
  if (slash == std::u16string::npos) {
    m_strWorkingFolder.clear();
    return;
  }
  m_strWorkingFolder.resize(slash);
  m_strWorkingFolder += u"\\S3Data";
  platform::FileAttributes attributes;
  if (env->GetFileAttributes(m_strWorkingFolder, &attributes) &&
      attributes.is_directory) {
    m_iFolderReady = 1;
    return;
  }
  m_iFolderReady = env->CreateDirectory(m_strWorkingFolder) ? 1 : 0;
}

S3FilesManager::~S3FilesManager() = default;

int S3FilesManager::Reserved0(int) { return 0; }
int S3FilesManager::Reserved1(int) { return 0; }
int S3FilesManager::Reserved2(int, int, int) { return 0; }
int S3FilesManager::Reserved3(int) { return 0; }
int S3FilesManager::Reserved4(int, int, int) { return 0; }
int S3FilesManager::Reserved5(int) { return 0; }
long long S3FilesManager::Reserved6(int) { return 0; }
int S3FilesManager::Reserved7(int, int, int, int, int, int, int, int) { return 0; }
