#include "common/layout_policy.h"

namespace {

class StandardLayoutPolicy final : public LayoutPolicy {
 public:
  bool VersionedKeys() const override { return true; }
  bool CarriesFileTimes() const override { return true; }
  bool PausesBetweenListings() const override { return true; }
  bool ReportsPlainErrorAnswers() const override { return false; }
  const InUsePass* InUseRetry() const override { return nullptr; }
};

}  // namespace

const LayoutPolicy& StandardLayout() {
  static const StandardLayoutPolicy layout;
  return layout;
}
