// Answers git's (and ssh's) credential prompts for the engine. Git runs it
// with the prompt as its argument and reads the answer from standard output;
// it hands the prompt to the engine over the socket named in
// TAVRIK_ASKPASS_SOCKET, with the one-time token of TAVRIK_ASKPASS_TOKEN, and
// waits for the answer. It prints the answer and exits 0 when the engine
// replies "ok", and otherwise exits non-zero with a one-line reason, so git
// fails to authenticate instead of waiting on a terminal. The answer goes
// to standard output and nowhere else.
//
// Run as `askpass --credential ACTION`, it is a git credential helper for
// an address whose password the engine took out before git saw it: for
// "get" it asks the socket of TAVRIK_CREDENTIAL_SOCKET (token in
// TAVRIK_CREDENTIAL_TOKEN) with git's own prompts and prints "username=" and
// "password=" lines; on a refusal it prints nothing, so git goes on to ask
// the askpass. Other actions (store, erase) do nothing.
#include "SocketRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

namespace {

int fail(const std::string& reason) {
  std::fprintf(stderr, "askpass: %s\n", reason.c_str());
  return 1;
}

bool ask(const char* socketPath, const char* token, const std::string& prompt, std::string& answer) {
  std::string error;
  if (!companion::exchange(socketPath, std::string(token) + '\0' + prompt + '\0', answer, error)) return false;
  if (answer.rfind("ok\n", 0) != 0) return false;
  answer.erase(0, 3);
  return answer.find('\n') == std::string::npos;
}

int credentialHelper(const std::string& action) {
  std::map<std::string, std::string> fields;
  std::string line;
  for (int c; (c = std::getchar()) != EOF;) {
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (line.empty()) break;
    auto equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    line.clear();
  }
  const char* socketPath = std::getenv("TAVRIK_CREDENTIAL_SOCKET");
  const char* token = std::getenv("TAVRIK_CREDENTIAL_TOKEN");
  if (action != "get" || !socketPath || !*socketPath || !token || !*token) return 0;
  // The prompts git itself would show, so that the engine matches one text.
  const std::string origin = fields["protocol"] + "://";
  std::string user = fields["username"], password;
  if (user.empty() && !ask(socketPath, token, "Username for '" + origin + fields["host"] + "': ", user)) return 0;
  std::string described = origin + (user.empty() ? "" : user + "@") + fields["host"];
  if (!ask(socketPath, token, "Password for '" + described + "': ", password)) return 0;
  std::string reply = "username=" + user + "\npassword=" + password + "\n";
  bool written = companion::writeAll(STDOUT_FILENO, reply.data(), reply.size());
  std::fill(reply.begin(), reply.end(), '\0');
  std::fill(password.begin(), password.end(), '\0');
  return written ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--credential") == 0) return credentialHelper(argv[2]);
  const char* socketPath = std::getenv("TAVRIK_ASKPASS_SOCKET");
  const char* token = std::getenv("TAVRIK_ASKPASS_TOKEN");
  if (!socketPath || !*socketPath || !token || !*token)
    return fail("TAVRIK_ASKPASS_SOCKET and TAVRIK_ASKPASS_TOKEN are not set; no credentials are available");
  if (argc < 2) return fail("no prompt to answer");

  // No time limit: the user may take a while to type a password.
  std::string reply, error;
  if (!companion::exchange(socketPath, std::string(token) + '\0' + argv[1] + '\0', reply, error)) return fail(error);

  if (reply.rfind("ok\n", 0) == 0) {
    reply.erase(0, 3);
    reply += '\n';
    if (!companion::writeAll(STDOUT_FILENO, reply.data(), reply.size()))
      return fail(std::string("cannot write the answer: ") + std::strerror(errno));
    return 0;
  }
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  if (reply.empty()) return fail("the engine closed the connection without an answer");
  if (reply.rfind("error: ", 0) == 0) reply.erase(0, 7);
  return fail(reply);
}
