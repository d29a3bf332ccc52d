#include "tavrik/Util/Url.h"

#include <cctype>
#include <unistd.h>
#include <vector>

namespace tavrik {
namespace {

std::string currentDirectory() {
  std::string buf(4096, '\0');
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) return "/";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

} // namespace

std::string normalizedAbsolutePath(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    std::string_view part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    i = j;
  }
  if (parts.empty()) return "/";
  std::string out;
  for (auto p : parts) {
    out.push_back('/');
    out.append(p);
  }
  return out;
}

Url Url::fileURL(std::string_view path, bool isDirectory) {
  Url u;
  u.scheme_ = "file";
  if (!path.empty() && path.front() == '/') {
    u.path_ = normalizedAbsolutePath(path);
  } else {
    std::string joined = currentDirectory();
    joined.push_back('/');
    joined.append(path);
    u.path_ = normalizedAbsolutePath(joined);
  }
  u.isDirectory_ = isDirectory || (!path.empty() && path.back() == '/') || u.path_ == "/";
  return u;
}

std::optional<Url> Url::parse(std::string_view text) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  for (size_t i = 0; i < colon; ++i) {
    char c = text[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
              (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return std::nullopt;
  }
  std::string scheme(text.substr(0, colon));
  for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view rest = text.substr(colon + 1);
  if (scheme == "file") {
    if (rest.starts_with("//")) {
      rest.remove_prefix(2);
      size_t slash = rest.find('/');
      // Only local file URLs ("file:///p" or "file://localhost/p") name files here.
      std::string_view host = slash == std::string_view::npos ? rest : rest.substr(0, slash);
      if (!host.empty() && host != "localhost") return std::nullopt;
      rest = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    }
    std::string decoded = percentDecoded(rest);
    if (decoded.empty() || decoded.front() != '/') return std::nullopt;
    return fileURL(decoded, decoded.back() == '/');
  }
  Url u;
  u.scheme_ = std::move(scheme);
  u.path_ = std::string(rest);
  return u;
}

std::string Url::absoluteString() const {
  if (scheme_.empty()) return path_;
  if (!isFileURL()) return scheme_ + ":" + path_;
  std::string out = "file://" + path_;
  if (isDirectory_ && path_ != "/") out.push_back('/');
  return out;
}

Url Url::appendingPathComponent(std::string_view component, bool isDirectory) const {
  if (!isFileURL()) {
    Url u = *this;
    if (!u.path_.empty() && u.path_.back() != '/') u.path_.push_back('/');
    u.path_.append(component);
    return u;
  }
  std::string joined = path_;
  joined.push_back('/');
  joined.append(component);
  Url u = fileURL(joined, isDirectory || (!component.empty() && component.back() == '/'));
  return u;
}

std::string Url::lastPathComponent() const {
  if (path_ == "/") return "/";
  size_t end = path_.size();
  while (end > 1 && path_[end - 1] == '/') --end;
  size_t slash = path_.rfind('/', end - 1);
  if (slash == std::string::npos) return path_.substr(0, end);
  return path_.substr(slash + 1, end - slash - 1);
}

std::string Url::pathExtension() const {
  std::string last = lastPathComponent();
  size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return last.substr(dot + 1);
}

Url Url::deletingLastPathComponent() const {
  if (!isFileURL()) return *this;
  if (path_ == "/") return *this;
  return fileURL(path_ + "/..", true);
}

} // namespace tavrik
