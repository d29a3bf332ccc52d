// The single place where the queue gets the view operation that refreshes one
// aspect of its cached view.
#pragma once

#include "tavrik/Operation/GitAspects.h"

#include <memory>

namespace tavrik {
class GitQueueOperation;

namespace detail {

/// The view operation for one aspect (a single bit), or nullptr when that
/// aspect has no reader: then nothing runs.
std::shared_ptr<GitQueueOperation> makeViewOperation(GitAspects singleAspect);

} // namespace detail
} // namespace tavrik
