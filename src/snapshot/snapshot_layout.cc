#include "snapshot/snapshot_pass.h"
#include "sync/in_use_pass.h"

namespace {

class SnapshotInUsePass final : public InUsePass {
 public:
  void ResetDeferred(SyncActionTable* deferred) const override {
    ResetDeferredTable(deferred);
  }
  bool ShouldDefer(int32_t result, int32_t source) const override {
    return ::ShouldDefer(result, source);
  }
  void Run(const SyncActionTable& deferred, CQUEXFSManager* const sides[3],
           SyncObserver* observer) const override {
    RunSnapshotPass(deferred, sides, observer);
  }
  void EngineStarted() const override { InitializeEngineCom(); }
  void EngineEnded() const override { UninitializeEngineCom(); }
};

class SnapshotLayoutPolicy final : public LayoutPolicy {
 public:
  bool VersionedKeys() const override { return false; }
  bool CarriesFileTimes() const override { return false; }
  bool PausesBetweenListings() const override { return false; }
  bool ReportsPlainErrorAnswers() const override { return true; }
  const InUsePass* InUseRetry() const override { return &m_pass; }

 private:
  SnapshotInUsePass m_pass;
};

}  // namespace

const LayoutPolicy& SnapshotLayout() {
  static const SnapshotLayoutPolicy layout;
  return layout;
}
