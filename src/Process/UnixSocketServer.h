// What the Unix-socket bridges (GitSocketAuth and GitSocketEditor) share:
// the private folder and listening socket, the accept loop that serves only
// this user, and the reading of a "token\0payload\0" request. Kept in one
// place because each piece guards the same trust boundary.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tavrik::detail {

/// Makes a folder only this user can enter (mkdtemp's 0700) from `pattern`,
/// which ends in XXXXXX, and returns its path. Throws TavrikError.
std::string makePrivateFolder(std::string pattern);

/// Makes the private folder of a bridge of `kind` ("askpass", "editor",
/// "fsmonitor"),
/// "tavrik-KIND-PID-XXXXXX" in TMPDIR when a socket path in it fits in a
/// sockaddr_un, else in /tmp. First removes the folders of that kind left
/// behind by processes of this user that no longer run (killed before
/// they could clean up). Throws TavrikError.
std::string makeBridgeFolder(std::string_view kind);

/// Removes the bridge folders of `kind` in `base` whose process is gone;
/// a folder of a running process, another user's or an unexpected one
/// stays. Never throws.
void removeStaleBridgeFolders(const std::string& base, std::string_view kind);

/// Binds a listening Unix-domain socket at `path`. `listener` is set as soon
/// as the socket exists, so that the caller's cleanup closes it when binding
/// fails. Throws TavrikError ("socket", or "bind <path>").
void listenAt(const std::string& path, int& listener);

/// Closes the open ones among `descriptors` (leaving -1), then removes the
/// socket file and its folder; empty paths are skipped.
void closeAndRemove(std::initializer_list<int*> descriptors, const std::string& socketPath,
                    const std::string& folder);

/// Accepts connections on `listener` until `wake` becomes readable (or poll
/// fails), one at a time. Connections from this user go to `handle`; others
/// are told they are refused. Each is closed after.
void serveConnections(int listener, int wake, const std::function<void(int connection)>& handle);

/// Sends all of `text`, giving up quietly once the peer is gone.
void writeAll(int fd, std::string_view text);

/// 64 hexadecimal digits from the kernel's random source, for a one-time
/// token. Throws TavrikError ("getrandom").
std::string randomToken();

/// Whether `a` and `b` are equal, in time that depends only on their length.
bool sameText(std::string_view a, std::string_view b);

/// Reads a "token\0payload\0" request until both fields are in, it reaches
/// 64 KiB, or the client stops sending. Each read waits as long as the
/// socket's own receive timeout (SO_RCVTIMEO) lets it.
std::string readRequest(int connection);

/// The same, but it also gives up once `limit` has passed in all or `wake`
/// becomes readable.
std::string readRequest(int connection, int wake, std::chrono::milliseconds limit);

} // namespace tavrik::detail
