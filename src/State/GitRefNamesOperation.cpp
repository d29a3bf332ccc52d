#include "tavrik/State/GitRefNamesOperation.h"

#include "Interfaces/Plumbing.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Operation/GitOperationContext.h"

namespace tavrik {

SharedValue<GitRefList> GitRefNamesOperation::execute(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor) return GitViewRefsOperation::execute(context);
  std::vector<GitRef> refs;
  try {
    const auto repo = arbor::Repo::openAtPath(descriptor->url.path());
    const auto head = arbor::Reference::head(repo);
    // A detached HEAD resolves to itself and is no branch's.
    const std::string headName = head && head->name() != "HEAD" ? head->name() : std::string();
    auto records = arbor::plumbing::forEachPeeledRef(repo);
    refs.reserve(records.size());
    for (auto& record : records) {
      GitRef ref = GitRef::named(std::move(record.name));
      ref.isHead = ref.name == headName;
      ref.symbolicTarget = std::move(record.symbolicTarget);
      ref.target = record.id;
      ref.commit = record.peeled;
      refs.push_back(std::move(ref));
    }
  } catch (const arbor::Error&) {
    return GitViewRefsOperation::execute(context);
  }
  return userRefList(std::move(refs));
}

} // namespace tavrik
