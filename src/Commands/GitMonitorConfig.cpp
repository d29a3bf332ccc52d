#include "tavrik/Commands/GitMonitorConfig.h"

#include "Process/GitStep.h"
#include "tavrik/Operation/GitOperationContext.h"
#include "tavrik/Operation/GitOperationHost.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tavrik {

namespace {

const char* const kKeys[] = {"core.fsmonitor", "core.fsmonitorHookVersion"};

std::string config(GitOperationContext& context, std::vector<std::string> args, std::set<int> statuses = {0}) {
  args.insert(args.begin(), {"config", "--local"});
  return detail::runGitStep(
      context, {.arguments = std::move(args), .successStatuses = std::move(statuses), .access = GitExecAccess::write});
}

// The saved state: the configuration file before and after enabling, and
// each key's values before, all as length-prefixed byte strings, so that
// any bytes survive.
struct Saved {
  std::string before, after;
  std::vector<std::vector<std::string>> values; // one list per key of kKeys

  std::string encode() const {
    std::string out = "tavrik-monitor 1\n";
    auto field = [&out](const std::string& bytes) { out += std::to_string(bytes.size()) + "\n" + bytes; };
    field(before);
    field(after);
    for (const auto& list : values) {
      out += std::to_string(list.size()) + "\n";
      for (const auto& value : list) field(value);
    }
    return out;
  }

  static Saved decode(const std::string& text, const std::string& path) {
    size_t at = 0;
    auto fail = [&path]() -> TavrikError {
      return TavrikError("The saved monitor settings in " + path + " are damaged.",
                         "Set core.fsmonitor by hand and remove that file.");
    };
    auto number = [&]() {
      size_t end = text.find('\n', at);
      if (end == std::string::npos || end == at || end - at > 12) throw fail();
      size_t n = 0;
      for (size_t i = at; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') throw fail();
        n = n * 10 + static_cast<size_t>(text[i] - '0');
      }
      at = end + 1;
      return n;
    };
    auto field = [&]() {
      size_t n = number();
      if (n > text.size() - at) throw fail();
      at += n;
      return text.substr(at - n, n);
    };
    const std::string magic = "tavrik-monitor 1\n";
    if (text.rfind(magic, 0) != 0) throw fail();
    at = magic.size();
    Saved saved;
    saved.before = field();
    saved.after = field();
    for (size_t key = 0; key < std::size(kKeys); ++key) {
      size_t count = number();
      if (count > text.size()) throw fail();
      auto& list = saved.values.emplace_back();
      for (size_t i = 0; i < count; ++i) list.push_back(field());
    }
    if (at != text.size()) throw fail();
    return saved;
  }
};

std::vector<std::string> valuesOf(GitOperationContext& context, const char* key) {
  // Status 1: the key is not set.
  auto output = config(context, {"-z", "--get-all", key}, {0, 1});
  std::vector<std::string> values;
  for (size_t start = 0, end; (end = output.find('\0', start)) != std::string::npos; start = end + 1)
    values.push_back(output.substr(start, end - start));
  return values;
}

// Replaces the configuration file as git does, under its lock, so that a
// git writing it at the same time fails rather than losing either write.
void replaceConfigFile(const std::string& path, const std::string& bytes) {
  const std::string lock = path + ".lock";
  int fd = ::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw TavrikError::fromErrno(errno, "open " + lock);
  bool written = true;
  for (size_t done = 0; written && done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  int error = written ? 0 : errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && ::rename(lock.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    ::unlink(lock.c_str());
    throw TavrikError::fromErrno(error, "write " + path);
  }
}

} // namespace

pledge::Void GitMonitorConfigOperation::execute(GitOperationContext& context) {
  const auto& descriptor = context.requireDescriptor();
  const std::string configPath = descriptor.commonURL.appendingPathComponent("config").path();
  const std::string savedPath = descriptor.commonURL.appendingPathComponent("tavrik-monitor").path();
  auto savedText = readFileIfExists(savedPath);

  if (change == GitMonitorConfigChange::enable) {
    auto* host = context.host();
    if (!host || !host->prefixURL()) throw TavrikError("No git prefix with the fsmonitor companion to point git at.");
    const std::string companion = host->prefixURL()->appendingPathComponent("bin/fsmonitor").path();
    if (::access(companion.c_str(), X_OK) != 0) throw TavrikError::fromErrno(errno, "access " + companion);
    Saved saved;
    if (savedText) {
      saved = Saved::decode(*savedText, savedPath);
    } else {
      saved.before = readFileIfExists(configPath).value_or("");
      for (const char* key : kKeys) saved.values.push_back(valuesOf(context, key));
    }
    // git runs the hook through the shell when its path needs quoting.
    config(context, {"--replace-all", "--", kKeys[0], shellQuoted(companion)});
    config(context, {"--replace-all", "--", kKeys[1], "2"});
    saved.after = readFileIfExists(configPath).value_or("");
    writeFileAtomically(savedPath, saved.encode());
  } else {
    if (!savedText) throw TavrikError("The terminal's monitor is not enabled for this repository.");
    Saved saved = Saved::decode(*savedText, savedPath);
    if (readFileIfExists(configPath) == saved.after) {
      // Nothing else changed since: the file as it was, byte for byte.
      replaceConfigFile(configPath, saved.before);
    } else {
      for (size_t key = 0; key < std::size(kKeys); ++key) {
        // Status 5: nothing to unset.
        config(context, {"--unset-all", kKeys[key]}, {0, 5});
        for (const auto& value : saved.values[key]) config(context, {"--add", "--", kKeys[key], value});
      }
    }
    ::unlink(savedPath.c_str());
  }
  context.updatedAspects.formUnion(GitAspects::config);
  return {};
}

} // namespace tavrik
