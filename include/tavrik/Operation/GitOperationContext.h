// What an operation receives when it runs: its queue, the repository it
// works on, optional identities, and the aspects of the repository its work
// may have changed. One context per run; compound operations that run child
// operations inline pass theirs along (or a `copy()`).
#pragma once

#include "tavrik/Interfaces/Persona.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"

#include <memory>
#include <optional>

namespace tavrik {

class GitQueue;
class GitOperationHost;

class GitOperationContext {
public:
  explicit GitOperationContext(std::shared_ptr<GitQueue> queue,
                               std::optional<GitRepositoryDescriptor> overrideDescriptor = std::nullopt);

  /// Strong for the length of the run.
  std::shared_ptr<GitQueue> queue;
  /// Takes the place of the queue's repository when set.
  std::optional<GitRepositoryDescriptor> overrideDescriptor;
  std::optional<persona::Persona> overrideAuthor;
  std::optional<persona::Persona> overrideCommitter;
  /// Aspects the work may have changed; the queue refreshes exactly these.
  GitAspects updatedAspects;

  /// The queue as the operation sees it; nullptr without a queue.
  GitOperationHost* host() const;

  /// A new context with the same fields.
  std::shared_ptr<GitOperationContext> copy() const;

  /// `overrideDescriptor` when set, otherwise the queue's descriptor;
  /// nullptr when there is neither.
  const GitRepositoryDescriptor* effectiveDescriptor() const;
  /// The effective descriptor; throws TavrikError::invalidRepository when there is none.
  const GitRepositoryDescriptor& requireDescriptor() const;
};

} // namespace tavrik
