// A `GitEditor` that clients can use as it is. It owns a Unix-domain socket
// in a private folder (mode 0700) for the life of one run and answers the
// editor companion program (`bin/editor`), which git runs on every file it
// wants edited:
//   - git's instruction list (`git-rebase-todo`) is rewritten by the plan
//     (`processEditList`) and replaced atomically;
//   - a commit message (a reword, or the combined message of a squash) is
//     replaced by what the message hook gives, or left as git wrote it;
//   - any other file is left alone.
// Only the real user's connections that bring the one-time token are
// served, and only files inside the repository's git directories.
//
//   auto editor = GitSocketEditor::create(descriptor, request);
//   makeOperation<GitExecRebaseOperation>(...)  // with `editor` attached
#pragma once

#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/Rebase/GitEditor.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrik {

class GitSocketEditor : public GitEditor {
  struct Passkey {};

public:
  /// The variables the companion program reads.
  static constexpr const char* kSocketVariable = "TAVRIK_EDITOR_SOCKET";
  static constexpr const char* kTokenVariable = "TAVRIK_EDITOR_TOKEN";

  using MessageHook =
      std::function<std::optional<std::string>(const std::string& message, const std::optional<std::string>& commit)>;

  /// Opens the socket and starts serving on a thread of its own. Throws
  /// TavrikError when the folder or the socket cannot be made.
  static std::shared_ptr<GitSocketEditor> create(const GitRepositoryDescriptor& repository,
                                                 std::optional<GitRebaseRequest> request,
                                                 MessageHook messageHook = {});

  GitSocketEditor(Passkey, const GitRepositoryDescriptor& repository, std::optional<GitRebaseRequest> request,
                  MessageHook messageHook);
  /// Finishes editing.
  ~GitSocketEditor() override;
  GitSocketEditor(const GitSocketEditor&) = delete;
  GitSocketEditor& operator=(const GitSocketEditor&) = delete;

  /// The socket's path and the token.
  std::map<std::string, std::string> editorEnvironment() const override;
  std::optional<GitRebaseRequest> rebaseRequest() override { return request_; }
  std::optional<std::string> editMessage(const std::string& message, const std::optional<std::string>& commit) override;
  /// Stops serving, closes the socket and removes its folder. Idempotent,
  /// from any thread. A request in progress is still answered: then the
  /// socket goes once it is, without this call waiting for it.
  void finishEditing() override;

  /// The files the bridge was asked to edit, in order (for diagnostics).
  std::vector<std::string> editedFiles() const;

private:
  void start();
  void serve();
  void handle(int connection);
  std::string answer(const std::string& path);
  // Closes the listener, removes the socket and its folder; the server's
  // last act, or finishEditing's when no server ever ran.
  void removeSocket();
  // Runs `call` (which reaches the client) marked as such for finishEditing.
  template <class F> auto callClient(F&& call);
  void setInClientCall(bool inCall);

  const std::optional<GitRebaseRequest> request_;
  const MessageHook messageHook_;
  // Real paths of the directories whose files may be edited.
  std::vector<std::string> allowedDirectories_;
  std::string folder_;
  std::string socketPath_;
  std::string token_;
  int listener_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::thread server_;
  // Lock order: finishLock_ before stateLock_.
  std::mutex stateLock_; // guards exited_ and inClientCall_
  std::condition_variable stateChanged_;
  bool exited_ = false;      // the server thread has removed the socket and ends
  bool inClientCall_ = false; // the server waits on the client's plan or hook

  std::mutex finishLock_; // guards finished_; held for the whole of finishEditing
  bool finished_ = false;
  mutable std::mutex editedLock_; // guards editedFiles_
  std::vector<std::string> editedFiles_;
};

} // namespace tavrik
