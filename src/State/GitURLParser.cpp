#include "tavrik/State/GitURLParser.h"

#include "tavrik/Util/StringUtilities.h"

#include <cctype>
#include <charconv>
#include <utility>

namespace tavrik {
namespace {

// `text` split once at the first `separator`: the piece before it and the
// rest after it, or nothing when there is no separator.
std::optional<std::pair<std::string_view, std::string_view>> splitOnce(std::string_view text,
                                                                       std::string_view separator) {
  auto at = text.find(separator);
  if (at == std::string_view::npos) return std::nullopt;
  return std::pair(text.substr(0, at), text.substr(at + separator.size()));
}

bool isPresentAndFilled(const std::optional<std::string>& piece) { return piece && !piece->empty(); }

// Reads a leading "<digits>/" as a port; a run of digits that overflows an
// int is no port, so "host:99999999999/x" keeps those digits in the path.
std::optional<int> leadingPort(std::string_view text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits == text.size() || text[digits] != '/') return std::nullopt;
  int port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + digits, port);
  if (error != std::errc() || end != text.data() + digits) return std::nullopt;
  return port;
}

} // namespace

bool GitURLParserComponents::hasUser() const { return isPresentAndFilled(user); }
bool GitURLParserComponents::hasHost() const { return isPresentAndFilled(host); }
bool GitURLParserComponents::hasPath() const { return isPresentAndFilled(path); }

bool GitURLParserComponents::hasValidScheme() const {
  if (!scheme) return false;
  std::string lower = *scheme;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  return lower == "https" || lower == "http" || lower == "ssh";
}

bool GitURLParserComponents::isValidRemoteURL() const {
  return (hasUser() || hasValidScheme()) && hasHost() && hasPath();
}

std::string GitURLParserComponents::urlString() const {
  std::string out;
  if (scheme) out += *scheme + "://";
  if (user) {
    out += *user;
    if (password) out += ":" + *password;
    out += "@";
  }
  if (host) out += *host;
  // Without its colon a host followed by a relative path would run into it.
  if (hasColon || (host && path && !path->starts_with('/'))) out += ":";
  if (port) {
    out += std::to_string(*port);
    // Only the "scheme://" form reads a port; the scp-like one would take
    // the digits for the start of the path.
    if (!scheme) out.insert(0, "ssh://");
  }
  if (path) {
    if (port && !path->starts_with('/')) out += "/";
    out += *path;
  }
  return out;
}

GitURLParserComponents GitURLParser::parse(std::string_view address) {
  GitURLParserComponents c;
  const std::string text = trimmed(address);
  std::string_view rest = text;
  if (auto split = splitOnce(rest, "://")) {
    c.scheme = std::string(split->first);
    rest = split->second;
  }
  std::optional<std::string_view> userInfo;
  if (auto split = splitOnce(rest, "@")) {
    userInfo = split->first;
    rest = split->second;
  }
  if (auto split = splitOnce(rest, ":")) {
    c.host = std::string(split->first);
    c.hasColon = true;
    auto afterColon = split->second;
    c.port = leadingPort(afterColon);
    c.path = std::string(c.port ? afterColon.substr(afterColon.find('/')) : afterColon);
  } else if (!c.scheme || *c.scheme == "file") {
    c.path = std::string(rest);
  } else if (auto slash = rest.find('/'); slash != std::string_view::npos) {
    c.host = std::string(rest.substr(0, slash));
    c.path = std::string(rest.substr(slash));
  } else {
    // "https://host" names no path, so the one word counts as the path.
    c.path = std::string(rest);
  }
  if (userInfo) {
    if (auto split = splitOnce(*userInfo, ":")) {
      c.user = std::string(split->first);
      c.password = std::string(split->second);
    } else {
      c.user = std::string(*userInfo);
    }
  }
  return c;
}

const GitURLParserComponents& GitURLParser::components() const {
  std::call_once(componentsOnce_, [this] { components_ = parse(string_); });
  return components_;
}

} // namespace tavrik
