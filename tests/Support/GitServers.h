// Real git servers for the tests, on 127.0.0.1 only, each on an ephemeral
// port that the fixture binds itself (so no two tests can race for a port),
// started by the test and stopped when the fixture is destroyed.
//  - GitHttpServer: lighttpd running `git http-backend` as a CGI behind HTTP
//    basic authentication, for fetch and push (smart HTTP).
//  - GitDaemonServer: anonymous, read-only git:// through `git daemon`.
// The git programs the servers run see no system or global configuration.
#pragma once

#include "Support/ScenarioRepo.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tavrik::testing {

/// lighttpd serving every repository under a project root through
/// `git http-backend`, at http://127.0.0.1:PORT/git/<repository>. Every
/// request needs the one user's credentials (basic authentication); pushes
/// are allowed. Throws std::runtime_error, with lighttpd's logs, when the
/// server does not come up.
class GitHttpServer {
public:
  static std::unique_ptr<GitHttpServer> start(std::filesystem::path projectRoot, std::string user,
                                              std::string password);
  /// Stops lighttpd (and the CGI programs it started) and removes its files.
  ~GitHttpServer();
  GitHttpServer(const GitHttpServer&) = delete;
  GitHttpServer& operator=(const GitHttpServer&) = delete;

  int port() const { return port_; }
  /// "http://127.0.0.1:PORT/git/<repoName>", without credentials.
  std::string url(const std::string& repoName) const;
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

  /// lighttpd's access log (common log format: a 401 line is a request that
  /// was asked to authenticate, a user name marks an authenticated one).
  /// Holds every request that was answered before the call.
  std::string accessLog() const;
  /// lighttpd's error log, which also gets the standard error of the CGI.
  std::string errorLog() const;

private:
  GitHttpServer() = default;

  std::unique_ptr<TempDir> dir_;
  std::string user_;
  std::string password_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool reaped_ = false;
  mutable std::atomic<int> flushes_{0};
};

/// Anonymous read-only git:// for every repository under a directory, at
/// git://127.0.0.1:PORT/<repository>: the fixture accepts the connections
/// and runs `git daemon --inetd` for each one.
class GitDaemonServer {
public:
  static std::unique_ptr<GitDaemonServer> start(std::filesystem::path baseDir);
  /// Stops accepting, kills the connections' git processes and waits for them.
  ~GitDaemonServer();
  GitDaemonServer(const GitDaemonServer&) = delete;
  GitDaemonServer& operator=(const GitDaemonServer&) = delete;

  int port() const { return port_; }
  /// "git://127.0.0.1:PORT/<repoName>".
  std::string url(const std::string& repoName) const;
  /// What the git daemons wrote to their standard error (--verbose).
  std::string log() const;

private:
  GitDaemonServer() = default;
  void serve();

  std::unique_ptr<TempDir> dir_;
  int port_ = 0;
  int listenFd_ = -1;
  int stopFd_ = -1;
  int logFd_ = -1;
  std::vector<std::string> argv_;
  std::vector<std::string> env_;
  std::thread thread_;
};

} // namespace tavrik::testing
