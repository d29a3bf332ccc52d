// Whether git signs a commit or tag it makes. By default git decides from
// the user's configuration (`commit.gpgSign`, `tag.gpgSign`) with the
// configured format and key (`gpg.format`, `user.signingKey`); a client
// forces it either way for one operation.
#pragma once

namespace tavrik {

enum class GitSigning {
  /// As the configuration says.
  asConfigured,
  /// Always: git's "-S" for a commit, "-s" for a tag.
  sign,
  /// Never: git's "--no-gpg-sign" / "--no-sign".
  doNotSign,
};

} // namespace tavrik
