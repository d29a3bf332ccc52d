// Splits a remote's address as git accepts it, with a scheme
// ("ssh://git@host:2222/owner/repo.git", "https://host/owner/repo.git",
// "file:///path") or without ("git@host:owner/repo.git", the scp-like form),
// into its pieces, and writes the pieces back as an address.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

/// The pieces of one address. A piece that the address has but leaves empty
/// ("https:///x" has an empty host) is present and empty, so that writing the
/// pieces back gives the address again; the `has...` questions want a piece
/// that is present and not empty.
struct GitURLParserComponents {
  std::optional<std::string> scheme;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> host;
  /// A ":" follows the host ("host:path", "host:2222/path").
  bool hasColon = false;
  std::optional<int> port;
  std::optional<std::string> path;

  bool hasUser() const;
  bool hasHost() const;
  bool hasPath() const;
  /// The scheme is https, http or ssh, in any case.
  bool hasValidScheme() const;
  /// A user or a valid scheme, and a host and a path: an address git can
  /// reach another machine through.
  bool isValidRemoteURL() const;

  /// The pieces as an address: "scheme://", "user:password@", the host, ":"
  /// after a host that had one (or that a relative path follows), the port,
  /// the path ("/" first after a port when the path has none). An address
  /// with a port but no scheme is written with "ssh://", since only that
  /// form has a port.
  std::string urlString() const;

  bool operator==(const GitURLParserComponents&) const = default;
};

class GitURLParser {
public:
  explicit GitURLParser(std::string string) : string_(std::move(string)) {}
  GitURLParser(const GitURLParser&) = delete;
  GitURLParser& operator=(const GitURLParser&) = delete;

  const std::string& string() const { return string_; }
  /// The pieces of `string()`, parsed on first use and kept; safe from any
  /// thread.
  const GitURLParserComponents& components() const;

  /// The pieces of `address` without leading and trailing whitespace:
  ///  - before the first "://" is the scheme;
  ///  - in what follows, before the first "@" is "user" or "user:password";
  ///  - in what follows that, before the first ":" is the host; after it an
  ///    optional decimal port ended by "/" (the "/" begins the path), then
  ///    the path;
  ///  - without ":", the rest is the path when there is no scheme or it is
  ///    "file"; otherwise the host is what comes before the first "/", and
  ///    from that "/" on is the path (without "/", all is the path).
  /// A port too large for an int is read as part of the path. Never throws.
  static GitURLParserComponents parse(std::string_view address);

private:
  std::string string_;
  mutable std::once_flag componentsOnce_;
  mutable GitURLParserComponents components_;  // written once under componentsOnce_
};

} // namespace tavrik
