#include "support/transfer_job.h"

#include <system_error>
#include <utility>

#include "platform/last_error.h"

TransferJob::TransferJob(const CS3Config& settings, std::function<bool()> work)
    : m_settings(settings), m_work(std::move(work)) {
  try {
    m_thread = std::thread(&TransferJob::Run, this);
  } catch (const std::system_error&) {
    Run();  // no thread to be had: the work runs here, now
  }
}

TransferJob::~TransferJob() {
  if (m_thread.joinable()) m_thread.join();
}

void TransferJob::Run() {
  bool result = false;
  {
    const SettingsScope scope(m_settings);
    try {
      result = m_work();
    } catch (...) {
      result = false;  // an allocation that failed: the piece failed
    }
  }
  m_bResult = result;
  if (!result) {
    m_iLastError = platform::GetLastError();
    m_strLastErrorText = platform::GetLastErrorText();
  }
  m_bDone.store(true, std::memory_order_release);
}

bool TransferJob::Wait() {
  if (m_thread.joinable()) m_thread.join();
  if (!m_bWaited) {
    m_bWaited = true;
    if (!m_bResult) {
      platform::SetLastError(m_iLastError);
      platform::SetLastErrorText(m_strLastErrorText);
    }
  }
  return m_bResult;
}
