#include "tavrik/Queue/GitQueueOperation.h"

#include "tavrik/Queue/GitOperation.h"
#include "tavrik/Queue/GitTask.h"
#include "tavrik/Queue/GitWeakArray.h"

#include <gtest/gtest.h>

namespace tavrik {
// Named like a real command operation, inside the engine's namespace.
class GitExecAddOperation : public GitOperation<pledge::Void> {
public:
  std::optional<std::string> title() const override { return "Add"; }
  pledge::Void execute(GitOperationContext&) override { return {}; }
};
} // namespace tavrik

namespace outer::inner {
template <class T> struct Wrapper : tavrik::GitQueueOperation {
  struct Nested : tavrik::GitQueueOperation {};
};
struct Payload {};
} // namespace outer::inner

namespace {
struct LocalOperation : tavrik::GitQueueOperation {};
} // namespace

using namespace tavrik;

TEST(GitQueueOperation, DiagnosticIdentifierIsUuidAndTypeName) {
  auto op = makeOperation<GitExecAddOperation>();
  EXPECT_EQ(op->typeName(), "GitExecAddOperation");
  EXPECT_EQ(op->diagnosticIdentifier(), op->uuid().uuidString() + "-GitExecAddOperation");
  EXPECT_NE(op->uuid(), makeOperation<GitExecAddOperation>()->uuid());
}

TEST(GitQueueOperation, TypeNamesLoseEveryNamespace) {
  EXPECT_EQ(makeOperation<LocalOperation>()->typeName(), "LocalOperation");
  EXPECT_EQ(makeOperation<outer::inner::Wrapper<outer::inner::Payload>>()->typeName(), "Wrapper<Payload>");
  EXPECT_EQ(makeOperation<outer::inner::Wrapper<int>::Nested>()->typeName(), "Nested");
  EXPECT_EQ(detail::unqualifiedTypeName(typeid(std::string)), "basic_string<char, char_traits<char>, allocator<char> >");
}

TEST(GitQueueOperation, TaskTakesTheTitleAtConstruction) {
  auto titled = makeOperation<GitExecAddOperation>();
  ASSERT_NE(titled->task(), nullptr);
  EXPECT_EQ(titled->task()->title(), "Add");
  EXPECT_EQ(titled->task()->parentOperation(), titled);
  EXPECT_EQ(makeOperation<LocalOperation>()->task(), nullptr); // no title, no task
}

TEST(GitQueueOperation, QuietIsCarriedOnly) {
  auto op = quiet(makeOperation<GitExecAddOperation>());
  EXPECT_TRUE(op->isQuiet());
  op->setQuiet(false);
  EXPECT_FALSE(op->isQuiet());
}

// An operation made without the factory is set up when it is added.
TEST(GitQueueOperation, BareMakeSharedIsSetUpWhenAdded) {
  auto queue = GitQueue::create(std::nullopt, nullptr, std::nullopt);
  auto op = std::make_shared<GitExecAddOperation>();
  EXPECT_EQ(op->task(), nullptr);
  auto future = op->enqueue(queue);
  EXPECT_NO_THROW(future.wait(std::chrono::seconds(10))); // the execution block was registered
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(op->queue(), queue);
}

TEST(GitWeakArray, CompactValuesOmitsReleasedObjects) {
  GitWeakArray<int> array;
  auto a = std::make_shared<int>(1), b = std::make_shared<int>(2), c = std::make_shared<int>(3);
  array.append(a);
  array.append(b);
  array.append(c);
  array.append(a);
  b.reset();
  EXPECT_EQ(array.compactValues(), (std::vector<std::shared_ptr<int>>{a, c, a}));
  EXPECT_EQ(array.size(), 4u);
  array.compact();
  EXPECT_EQ(array.size(), 3u);
  array.removeAll(a);
  ASSERT_EQ(array.size(), 1u);
  EXPECT_EQ(array[0].value.lock(), c);
  EXPECT_THROW(array[1], std::out_of_range);
}

TEST(GitQueueValue, MapKeepsTheQueue) {
  auto queue = GitQueue::create(std::nullopt, nullptr, std::nullopt);
  GitQueueValue<int> v{queue, 21};
  auto doubled = v.map([](int x) { return x * 2; });
  EXPECT_EQ(doubled.value, 42);
  EXPECT_EQ(doubled.queue, queue);
  GitQueueValue<pledge::Void> nothing = v.toVoid();
  EXPECT_EQ(nothing.queue, queue);
}
