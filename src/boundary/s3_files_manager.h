// S3FilesManager: the manager object the host creates with
// CreateS3FileManagerObject.
//
// Its only work is done at construction: it prepares the working folder
// "S3Data" beside the host executable for the host.  Every interface
// operation is a placeholder that ignores its arguments and returns 0.

#ifndef KELTOS3_SRC_BOUNDARY_S3_FILES_MANAGER_H_
#define KELTOS3_SRC_BOUNDARY_S3_FILES_MANAGER_H_

#include <cstdint>
#include <string>

#include "KeltoS3.h"
#include "support/event_reporter.h"

class S3FilesManager final : public KS3FilesManager {
 public:
  // Opens the event reporter, then makes sure the folder "S3Data" exists in
  // the folder of the host executable, creating that one level when it does
  // not.  Never fails for the folder: IsFolderReady() tells the outcome.
  S3FilesManager();
  S3FilesManager(const S3FilesManager&) = delete;
  S3FilesManager& operator=(const S3FilesManager&) = delete;
  // Closes the event reporter; the folder stays.
  ~S3FilesManager();

  int Reserved0(int) override;
  int Reserved1(int) override;
  int Reserved2(int, int, int) override;
  int Reserved3(int) override;
  int Reserved4(int, int, int) override;
  int Reserved5(int) override;
  long long Reserved6(int) override;
  int Reserved7(int, int, int, int, int, int, int, int) override;

  // "<folder of the executable>\S3Data", or empty when the executable path
  // holds no "\".
  const std::u16string& GetWorkingFolder() const { return m_strWorkingFolder; }

  // 1 when the working folder existed as a directory after construction.
  int32_t IsFolderReady() const { return m_iFolderReady; }

 private:
  std::u16string m_strWorkingFolder;
  CEventReporter m_reporter;
  int32_t m_iFolderReady;
};

#endif  // KELTOS3_SRC_BOUNDARY_S3_FILES_MANAGER_H_
