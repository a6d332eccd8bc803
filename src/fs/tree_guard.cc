#include "fs/tree_guard.h"

#include "fs/tree_names.h"
#include "platform/env.h"

std::u16string KeyBelowRoot(const std::u16string& root,
                            const std::u16string& dir,
                            const std::u16string& name) {
  const std::u16string full = dir + name;
  if (root.empty() || full.size() <= root.size() + 1 ||
      full.compare(0, root.size(), root) != 0 || full[root.size()] != u'\\') {
    return std::u16string();
  }
  std::u16string key = full.substr(root.size());
  return IsSafeTreeName(key) ? key : std::u16string();
}

bool IsGuardedTarget(const std::u16string& root, const std::u16string& dir,
                     const std::u16string& name) {
  if (!IsSafeTreeName(name)) return false;
  std::u16string base = dir;
  std::u16string relative = KeyBelowRoot(root, dir, name);
  if (relative.empty()) {
    relative = name;
  } else {
    base = root;
  }
  platform::Env* const env = platform::CurrentEnv();
  size_t start = relative[0] == u'\\' ? 1 : 0;
  for (;;) {
    const size_t end = relative.find(u'\\', start);
    platform::FileAttributes attributes;
    if (!env->GetEntryAttributes(base + relative.substr(0, end), &attributes)) {
      return true;  // nothing exists from here on
    }
    if (attributes.is_symbolic_link) return false;
    if (end == std::u16string::npos) return true;
    start = end + 1;
  }
}
