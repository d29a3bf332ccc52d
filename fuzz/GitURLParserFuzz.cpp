// Parses arbitrary bytes as a remote's address and checks what the splitting
// rules promise: each piece stops before the separator that ends it, and
// writing the pieces back gives the (trimmed) address again, or, when it has
// a port but no scheme, the same pieces with "ssh" as their scheme.
#include "tavrik/State/GitURLParser.h"
#include "tavrik/Util/StringUtilities.h"

#include <cstdint>
#include <string_view>

using tavrik::GitURLParser;
using tavrik::GitURLParserComponents;

static void check(bool condition) {
  if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const GitURLParser parser{std::string(text)};
  const GitURLParserComponents& c = parser.components();
  check(c == GitURLParser::parse(text));

  check(!c.scheme || c.scheme->find("://") == std::string::npos);
  check(!c.user || c.user->find_first_of(":@") == std::string::npos);
  check(!c.password || (c.user && c.password->find('@') == std::string::npos));
  check(!c.host || c.host->find(':') == std::string::npos);
  check(c.path.has_value());
  check(c.hasColon || !c.host || c.path->starts_with('/'));
  check(!c.port || (*c.port >= 0 && c.hasColon && c.path->starts_with('/')));
  check(c.isValidRemoteURL() == ((c.hasUser() || c.hasValidScheme()) && c.hasHost() && c.hasPath()));

  const std::string written = c.urlString();
  if (!c.port) check(written == tavrik::trimmed(text));
  GitURLParserComponents expected = c;
  if (c.port && !c.scheme) expected.scheme = "ssh";
  const GitURLParserComponents again = GitURLParser::parse(written);
  check(again == expected);
  check(again.urlString() == written);
  return 0;
}
