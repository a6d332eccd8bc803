// TransferJob: one piece of an operation's work (a chunk going up or coming
// down, a file a synchronisation carries) on a thread of its own, so that
// with "Transfers" N > 1 up to N of them wait on the network side by side.
//
// The thread starts with the job and ends with its work: the library holds
// no thread beyond the operation that made it, and no thread waits idle.
// The work runs under the settings of the operation that made the job
// (SettingsScope), so that it reads nothing of the INI file itself.  When
// the work fails, Wait gives the waiting thread the last-error value and
// text the work left on its own thread, as if it had run there.  Should no
// thread be available, the work runs on the calling thread at once.
//
// The work must only touch what it owns or what stays unchanged until Wait
// returns.  Thread safety: a job belongs to the thread that made it; only
// its work runs elsewhere.

#ifndef KELTOS3_SRC_SUPPORT_TRANSFER_JOB_H_
#define KELTOS3_SRC_SUPPORT_TRANSFER_JOB_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "settings/s3_config.h"

class TransferJob {
 public:
  // Starts `work`; its result is what Wait gives.
  TransferJob(const CS3Config& settings, std::function<bool()> work);
  TransferJob(const TransferJob&) = delete;
  TransferJob& operator=(const TransferJob&) = delete;
  // Waits for the work to end.
  ~TransferJob();

  // Waits for the work to end (at once when it did) and returns its result;
  // every later call returns the same without waiting.
  bool Wait();

  // True once the work has ended (Wait then does not block).
  bool Done() const { return m_bDone.load(std::memory_order_acquire); }

 private:
  void Run();

  const CS3Config m_settings;
  std::function<bool()> m_work;
  std::atomic<bool> m_bDone{false};
  bool m_bResult = false;
  bool m_bWaited = false;
  // The worker's last failure, handed to the waiting thread.
  std::uint32_t m_iLastError = 0;
  std::u16string m_strLastErrorText;
  std::thread m_thread;
};

#endif  // KELTOS3_SRC_SUPPORT_TRANSFER_JOB_H_
