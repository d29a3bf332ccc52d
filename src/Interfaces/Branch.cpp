#include "tavrik/Interfaces/Branch.h"

#include "Interfaces/Libgit2.h"

#include <vector>

namespace arbor {

namespace {

using ConfigPtr = std::unique_ptr<git_config, detail::Freer<git_config, git_config_free>>;
using RefspecPtr = std::unique_ptr<git_refspec, detail::Freer<git_refspec, git_refspec_free>>;

std::optional<std::string> configString(const git_config* config, const std::string& name) {
  detail::Buf buf;
  int rc = git_config_get_string_buf(&buf.buf, config, name.c_str());
  if (rc == GIT_ENOTFOUND) {
    git_error_clear();
    return std::nullopt;
  }
  detail::check(rc, "git_config_get_string_buf");
  return buf.string();
}

std::vector<std::string> configStrings(const git_config* config, const std::string& name) {
  std::vector<std::string> values;
  int rc = git_config_get_multivar_foreach(
      config, name.c_str(), nullptr,
      [](const git_config_entry* entry, void* payload) {
        static_cast<std::vector<std::string>*>(payload)->push_back(entry->value ? entry->value : "");
        return 0;
      },
      &values);
  if (rc == GIT_ENOTFOUND) {
    git_error_clear();
    return {};
  }
  detail::check(rc, "git_config_get_multivar_foreach");
  return values;
}

} // namespace

Branch::Branch(Reference ref) : ref_(std::move(ref)) {
  if (!ref_.isLocalBranch() && !ref_.isRemoteBranch())
    throw Error("'" + ref_.name() + "' is not a branch", Error::Code::invalid);
}

std::optional<Branch> Branch::current(const Repo& repo) {
  auto head = Reference::head(repo);
  if (!head || !head->isLocalBranch()) return std::nullopt;
  return Branch(std::move(*head));
}

std::optional<std::string> Branch::upstreamName() const {
  if (!ref_.isLocalBranch()) return std::nullopt;
  // The same resolution as git_branch_upstream_name, done by hand: that call
  // looks the whole remote up, and libgit2 1.5 leaks PCRE2 match data there.
  git_config* raw = nullptr;
  detail::check(git_repository_config_snapshot(&raw, ref_.repo().handle()), "git_repository_config_snapshot");
  ConfigPtr config(raw);
  std::string branch = ref_.name().substr(std::string_view("refs/heads/").size());
  auto remote = configString(raw, "branch." + branch + ".remote");
  auto merge = configString(raw, "branch." + branch + ".merge");
  if (!remote || remote->empty() || !merge || merge->empty()) return std::nullopt;
  if (*remote == ".") return merge;
  for (const std::string& text : configStrings(raw, "remote." + *remote + ".fetch")) {
    git_refspec* rawSpec = nullptr;
    if (git_refspec_parse(&rawSpec, text.c_str(), /*is_fetch=*/1) < 0) {
      // A refspec that does not parse cannot map the branch.
      git_error_clear();
      continue;
    }
    RefspecPtr ownedRefspec(rawSpec); // frees it on every way out
    if (!git_refspec_src_matches(rawSpec, merge->c_str())) continue;
    detail::Buf out;
    detail::check(git_refspec_transform(&out.buf, rawSpec, merge->c_str()), "git_refspec_transform");
    return out.string();
  }
  return std::nullopt;
}

std::optional<Reference> Branch::upstream() const {
  auto name = upstreamName();
  if (!name || !Reference::exists(*name, ref_.repo())) return std::nullopt;
  return Reference::lookup(*name, ref_.repo());
}

} // namespace arbor
