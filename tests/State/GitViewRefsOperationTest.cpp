#include "tavrik/State/GitViewRefsOperation.h"

#include "State/ReadersTestSupport.h"
#include "tavrik/State/GitRefList.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitRefList refresh(const std::shared_ptr<GitQueue>& queue) {
  auto view = runOn(queue, makeOperation<GitViewRefsOperation>());
  EXPECT_EQ(view, queue->view());
  return view.refs;
}

const GitRef* find(const GitRefList& list, const std::string& name) {
  for (const auto& r : list.all)
    if (r.name == name) return &r;
  return nullptr;
}

Oid rev(const ScratchRepo& repo, const std::string& what) {
  return *Oid::parse(repo.git({"rev-parse", what}).substr(0, 40));
}

} // namespace

TEST(GitViewRefsOperation, EmptyRepositoryHasNoReferences) {
  ScratchRepo repo;
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto refs = refresh(queue);
  EXPECT_TRUE(refs.all.empty());
  EXPECT_TRUE(refs.targets.empty());
  EXPECT_FALSE(refs.head);
}

TEST(GitViewRefsOperation, ReadsBranchesTagsRemotesAndUpstreamCounts) {
  ScratchRepo origin;
  origin.commitFile("a.txt", "1\n", "one");
  origin.commitFile("a.txt", "2\n", "two");
  origin.git({"branch", "feature/x"});
  ScratchRepo repo;
  repo.git({"remote", "add", "origin", origin.path().string()});
  repo.git({"fetch", "-q", "origin"});
  repo.git({"remote", "set-head", "origin", "main"});
  repo.git({"checkout", "-q", "-b", "main", "--track", "origin/main"});
  // main: one commit ahead and one behind origin/main.
  origin.commitFile("a.txt", "3\n", "three");
  repo.git({"fetch", "-q", "origin"});
  repo.commitFile("b.txt", "local\n", "local");
  // feature/x tracks origin/feature/x and is moved one commit behind it.
  repo.git({"branch", "--track", "feature/x", "origin/feature/x"});
  repo.git({"update-ref", "refs/heads/feature/x", "origin/feature/x~1"});
  repo.git({"branch", "lonely", "HEAD~1"});
  repo.git({"tag", "light"});
  repo.git({"tag", "-a", "annotated", "-m", "a tag", "HEAD~1"});

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto refs = refresh(queue);

  auto* main = find(refs, "refs/heads/main");
  ASSERT_TRUE(main);
  EXPECT_TRUE(main->isHead);
  EXPECT_EQ(main->upstreamName, "refs/remotes/origin/main");
  EXPECT_EQ(main->upstreamRemote, "origin");
  EXPECT_EQ(main->upstreamCount, (GitCount{1, 1}));
  ASSERT_TRUE(refs.head);
  EXPECT_EQ(refs.head->name, "refs/heads/main");

  auto* feature = find(refs, "refs/heads/feature/x");
  ASSERT_TRUE(feature);
  EXPECT_EQ(feature->upstreamCount, (GitCount{0, 1}));
  EXPECT_EQ(feature->pathPrefix, std::vector<std::string>{"feature"});

  auto* lonely = find(refs, "refs/heads/lonely");
  ASSERT_TRUE(lonely);
  EXPECT_FALSE(lonely->upstreamName);
  EXPECT_EQ(lonely->upstreamCount, GitCount::zero);

  auto* originHead = find(refs, "refs/remotes/origin/HEAD");
  ASSERT_TRUE(originHead);
  EXPECT_EQ(originHead->symbolicTarget, "refs/remotes/origin/main");
  EXPECT_EQ(originHead->type, GitRefType::remote);
  for (const auto& r : refs.directRemoteBranches()) EXPECT_NE(r.name, "refs/remotes/origin/HEAD");
  bool inSymbolic = false;
  for (const auto& r : refs.symbolic) inSymbolic |= r.name == "refs/remotes/origin/HEAD";
  EXPECT_TRUE(inSymbolic);

  auto* remoteFeature = find(refs, "refs/remotes/origin/feature/x");
  ASSERT_TRUE(remoteFeature);
  EXPECT_EQ(remoteFeature->shorthand, "origin/feature/x");
  EXPECT_EQ(remoteFeature->pathPrefix, std::vector<std::string>{"feature"});

  auto* light = find(refs, "refs/tags/light");
  ASSERT_TRUE(light);
  EXPECT_EQ(light->target, rev(repo, "HEAD"));
  EXPECT_EQ(light->commit, light->target);

  auto* annotated = find(refs, "refs/tags/annotated");
  ASSERT_TRUE(annotated);
  EXPECT_EQ(annotated->target, rev(repo, "refs/tags/annotated"));
  EXPECT_EQ(annotated->commit, rev(repo, "HEAD~1"));
  EXPECT_NE(annotated->target, annotated->commit);
  ASSERT_TRUE(refs.targets.count(rev(repo, "HEAD~1")));
  bool listed = false;
  for (const auto& r : refs.targets.at(rev(repo, "HEAD~1"))) listed |= r.name == "refs/tags/annotated";
  EXPECT_TRUE(listed);

  // git lists by refname.
  for (size_t i = 1; i < refs.all.size(); ++i) EXPECT_LT(refs.all[i - 1].name, refs.all[i].name);
}

TEST(GitViewRefsOperation, DetachedHeadHasNoHeadReference) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.commitFile("a.txt", "2\n", "two");
  repo.git({"checkout", "-q", "--detach", "HEAD~1"});
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto refs = refresh(queue);
  EXPECT_FALSE(refs.head);
  ASSERT_EQ(refs.all.size(), 1u);
  EXPECT_FALSE(refs.all[0].isHead);
}

TEST(GitViewRefsOperation, UpstreamGoneLeavesCountZero) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.git({"branch", "topic"});
  repo.git({"config", "branch.topic.remote", "origin"});
  repo.git({"config", "branch.topic.merge", "refs/heads/topic"});
  repo.git({"config", "remote.origin.url", "/nonexistent"});
  repo.git({"config", "remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"});
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto refs = refresh(queue);
  auto* topic = find(refs, "refs/heads/topic");
  ASSERT_TRUE(topic);
  EXPECT_EQ(topic->upstreamName, "refs/remotes/origin/topic");
  EXPECT_EQ(topic->upstreamCount, GitCount::zero);  // the count failed and was dropped
}
