// What an operation receives when it runs: its queue, the repository it
// works on, optional identities, and the aspects of the repository its work
// may have changed. One context per run; compound operations that run child
// operations inline pass theirs along (or a `copy()`).
#pragma once

#include "tavrik/Interfaces/Persona.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Operation/GitOperationHost.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>

namespace tavrik {

class GitQueue;
template <class T> class GitOperation;

class GitOperationContext {
public:
  /// A context on `queue`, which needs the queue's complete type.
  template <class Queue>
    requires std::derived_from<Queue, GitOperationHost>
  explicit GitOperationContext(const std::shared_ptr<Queue>& queue,
                               std::optional<GitRepositoryDescriptor> overrideDescriptor = std::nullopt)
      : GitOperationContext(queue, std::shared_ptr<GitOperationHost>(queue), std::move(overrideDescriptor)) {}
  /// A context without a queue: only `overrideDescriptor` names a repository.
  explicit GitOperationContext(std::nullptr_t,
                               std::optional<GitRepositoryDescriptor> overrideDescriptor = std::nullopt);

  /// Strong for the length of the run; for the layers above the operation
  /// base, which add child operations to it.
  std::shared_ptr<GitQueue> queue;
  /// Takes the place of the queue's repository when set.
  std::optional<GitRepositoryDescriptor> overrideDescriptor;
  std::optional<persona::Persona> overrideAuthor;
  std::optional<persona::Persona> overrideCommitter;
  /// Aspects the work may have changed; the queue refreshes exactly these.
  GitAspects updatedAspects;

  /// The queue as the operation sees it; nullptr without a queue.
  GitOperationHost* host() const { return host_.get(); }

  /// A new context with the same fields.
  std::shared_ptr<GitOperationContext> copy() const;
  /// A fresh context on the same queue working on `descriptor` (the queue's
  /// own when nullopt); nothing else is carried over.
  GitOperationContext withDescriptor(std::optional<GitRepositoryDescriptor> descriptor) const;

  /// `overrideDescriptor` when set, otherwise the queue's descriptor;
  /// nullptr when there is neither.
  const GitRepositoryDescriptor* effectiveDescriptor() const;
  /// The effective descriptor; throws TavrikError::invalidRepository when there is none.
  const GitRepositoryDescriptor& requireDescriptor() const;

private:
  template <class T> friend class GitOperation;
  GitOperationContext(std::shared_ptr<GitQueue> queue, std::shared_ptr<GitOperationHost> host,
                      std::optional<GitRepositoryDescriptor> overrideDescriptor);

  std::shared_ptr<GitOperationHost> host_;
};

} // namespace tavrik
