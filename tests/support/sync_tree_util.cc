#include "support/sync_tree_util.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "support/store_fixture.h"
#include "support/test_platform.h"
#include "sync/sync_engine.h"

namespace testsupport::synctest {
namespace {

std::string Narrow(const wchar_t* text) {
  std::u16string wide;
  for (; text != nullptr && *text != 0; ++text) {
    wide.push_back(static_cast<char16_t>(*text));
  }
  return U16ToUtf8(wide);
}

struct CallbackContext {
  std::vector<SeenAction>* actions;
  const std::function<void(const SeenAction&)>* on_action;
};

void OnAction(void* context, const wchar_t* action_key, const wchar_t* name,
              int source, int target, const wchar_t*, int outcome, int result) {
  auto* c = static_cast<CallbackContext*>(context);
  SeenAction seen{Narrow(action_key), Narrow(name), source, target, outcome,
                  result};
  if (c->actions != nullptr) c->actions->push_back(seen);
  if (*c->on_action) (*c->on_action)(seen);
}

// Gathers what a run through the driver reports.
class Gatherer final : public SyncObserver {
 public:
  Gatherer(std::vector<SyncConflict>* conflicts, std::vector<SeenAction>* actions)
      : conflicts_(conflicts), actions_(actions) {}
  void OnAction(const std::u16string& key, const SyncAction& a, Outcome outcome,
                int32_t result) override {
    if (actions_ == nullptr) return;
    const int code = outcome == Outcome::kDone      ? KELTOS3_SYNC_DONE
                     : outcome == Outcome::kSkipped ? KELTOS3_SYNC_SKIPPED
                                                    : KELTOS3_SYNC_PLANNED;
    actions_->push_back(SeenAction{U16ToUtf8(key), U16ToUtf8(a.m_strName),
                                   a.m_iSource, a.m_iTarget, code, result});
  }
  void OnConflict(const SyncConflict& conflict) override {
    if (conflicts_ != nullptr) conflicts_->push_back(conflict);
  }

 private:
  std::vector<SyncConflict>* const conflicts_;
  std::vector<SeenAction>* const actions_;
};

}  // namespace

int Machine::SyncWith(const std::string& bucket, const SyncRunOptions& options,
                      SyncRunFacts* facts, std::vector<SyncConflict>* conflicts,
                      std::vector<SeenAction>* actions) const {
  if (conflicts != nullptr) conflicts->clear();
  if (actions != nullptr) actions->clear();
  Gatherer gatherer(conflicts, actions);
  return RunSynchronization(tree.LibPath(), catalog.LibPath(), Utf8ToU16(bucket),
                            &gatherer, options, facts);
}

void Machine::Put(const std::string& relative, const std::string& content,
                  std::int64_t unix_seconds) const {
  std::filesystem::create_directories(FsPath(tree.At(relative)).parent_path());
  fstest::WriteFile(tree.At(relative), content);
  fstest::SetMTime(tree.At(relative), unix_seconds);
}

int Machine::Sync(const std::string& bucket, std::vector<SeenAction>* actions,
                  int flags,
                  const std::function<void(const SeenAction&)>& on_action,
                  const std::string& root) const {
  if (actions != nullptr) actions->clear();
  CallbackContext context{actions, &on_action};
  const std::wstring local =
      Wide(root.empty() ? tree.LibPath() : fstest::Lib(root));
  const std::wstring catalog_root = Wide(catalog.LibPath());
  const std::wstring remote = Wide(Utf8ToU16(bucket));
  return KeltoS3Synchronize(local.c_str(), catalog_root.c_str(), remote.c_str(),
                            flags, &OnAction, &context);
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  const std::filesystem::path root = FsPath(dir);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::u8string generic =
        std::filesystem::relative(entry.path(), root).generic_u8string();
    const std::string relative(generic.begin(), generic.end());
    if (entry.is_directory()) {
      out[relative + "/"] = "";
    } else {
      out[relative] = fstest::ReadFile(dir + "/" + relative);
    }
  }
  return out;
}

std::vector<std::string> Describe(const std::vector<SeenAction>& actions) {
  std::vector<std::string> out;
  for (const SeenAction& a : actions) {
    out.push_back(a.key + " " + a.name + " " + std::to_string(a.source) + ">" +
                  std::to_string(a.target));
  }
  return out;
}

int LiveTransfers(const std::vector<SeenAction>& actions) {
  int count = 0;
  for (const SeenAction& a : actions) {
    if (a.outcome == KELTOS3_SYNC_DONE && a.result == 0 && a.target != 0) ++count;
  }
  return count;
}

}  // namespace testsupport::synctest
