// The standard library: versions named by stamps, copies that carry times.
#include "common/layout_policy.h"

const LayoutPolicy& LibraryLayout() { return StandardLayout(); }
