// The reflog of one reference, read completely when it is opened.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Signature.h"

#include <string>
#include <vector>

namespace arbor {

class Repo;

struct ReflogEntry {
  Oid oldId;
  Oid newId;
  Signature committer;
  /// Empty when the entry has no message.
  std::string message;

  bool operator==(const ReflogEntry&) const = default;
};

class Reflog {
public:
  /// Reads the reflog of the reference `name` ("HEAD", "refs/heads/main").
  /// A reference without a log gives an empty reflog. Throws `arbor::Error`.
  static Reflog read(const std::string& name, const Repo& repo);

  const std::string& name() const { return name_; }
  size_t count() const { return entries_.size(); }
  /// In the reflog's own order: the most recent entry first.
  const std::vector<ReflogEntry>& entries() const { return entries_; }
  /// Entry `index`; throws `arbor::Error` (code `notFound`) past the end.
  const ReflogEntry& entry(size_t index) const;

private:
  Reflog(std::string name, std::vector<ReflogEntry> entries) : name_(std::move(name)), entries_(std::move(entries)) {}
  std::string name_;
  std::vector<ReflogEntry> entries_;
};

} // namespace arbor

template <> struct std::hash<arbor::ReflogEntry> {
  size_t operator()(const arbor::ReflogEntry& e) const noexcept {
    size_t h = std::hash<arbor::Oid>{}(e.oldId);
    h = h * 31 ^ std::hash<arbor::Oid>{}(e.newId);
    h = h * 31 ^ std::hash<arbor::Signature>{}(e.committer);
    return h * 31 ^ std::hash<std::string>{}(e.message);
  }
};
