// Locations as the engine passes them around: file URLs for working trees,
// git directories and programs, and other URLs (remote addresses) that are
// carried but never opened as files. A small stand-in for the platform URL
// type: a scheme and, for file URLs, an absolute path with a directory flag.
#pragma once

#include <compare>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

class Url {
public:
  /// An empty URL (no scheme, no path); `isFileURL()` is false.
  Url() = default;

  /// A file URL for `path`. A relative path is made absolute against the
  /// current directory; "." and ".." components are resolved lexically and
  /// repeated slashes folded. `isDirectory` marks a directory location.
  static Url fileURL(std::string_view path, bool isDirectory = false);
  /// Parses "file:///abs/path" into a file URL (percent escapes decoded) and
  /// "scheme:rest" into a non-file URL. nullopt when there is no scheme.
  static std::optional<Url> parse(std::string_view text);

  bool isFileURL() const { return scheme_ == "file"; }
  bool isEmpty() const { return scheme_.empty(); }
  const std::string& scheme() const { return scheme_; }
  /// For a file URL: the absolute path without a trailing slash ("/" for the
  /// root). For other URLs: the text after "scheme:".
  const std::string& path() const { return path_; }
  bool hasDirectoryPath() const { return isDirectory_; }
  /// "file://" + path (+ "/" for directories); other URLs as given.
  std::string absoluteString() const;

  /// Appends a relative path, which may hold several components ("a/b/c").
  Url appendingPathComponent(std::string_view component, bool isDirectory = false) const;
  std::string lastPathComponent() const;
  /// The extension of the last component without its dot, "" when none.
  std::string pathExtension() const;
  Url deletingLastPathComponent() const;

  bool operator==(const Url& other) const {
    return scheme_ == other.scheme_ && path_ == other.path_;
  }
  auto operator<=>(const Url& other) const {
    if (auto c = scheme_ <=> other.scheme_; c != 0) return c;
    return path_ <=> other.path_;
  }

private:
  std::string scheme_;
  std::string path_;
  bool isDirectory_ = false;
};

/// Lexically normalises an absolute path: folds "//", resolves "." and "..",
/// drops a trailing slash (keeps "/").
std::string normalizedAbsolutePath(std::string_view path);

} // namespace tavrik

template <> struct std::hash<tavrik::Url> {
  size_t operator()(const tavrik::Url& u) const noexcept {
    return std::hash<std::string>{}(u.scheme()) * 31 + std::hash<std::string>{}(u.path());
  }
};
