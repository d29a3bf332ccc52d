// Answers gpg-agent's passphrase questions for the engine: a pinentry that
// speaks the part of the Assuan pinentry protocol gpg-agent uses (OPTION,
// SETDESC, SETPROMPT, SETTITLE, SETERROR, GETPIN, CONFIRM, MESSAGE, BYE and
// the settings it may send) and hands each question to the engine's askpass
// bridge. A user points gpg-agent at it once ("pinentry-program" in
// gpg-agent.conf). The engine tells it where to ask through
// PINENTRY_USER_DATA, which gpg passes through the agent:
// "tavrik-pinentry TOKEN SOCKET". Asked by anyone else (the user's own gpg
// in a terminal), it runs the pinentry named by TAVRIK_PINENTRY_FALLBACK, or
// /usr/bin/pinentry, in its place; with neither it declines every question.
// The passphrase goes to gpg-agent and nowhere else.
#include "SocketRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Error codes as gpg-agent reads them: source "pinentry" (5) in the top
// byte, then GPG_ERR_CANCELED, GPG_ERR_NOT_CONFIRMED, GPG_ERR_ASS_UNKNOWN_CMD.
constexpr const char* kCancelled = "ERR 83886179 Operation cancelled <Pinentry>";
constexpr const char* kNotConfirmed = "ERR 83886194 Not confirmed <Pinentry>";
constexpr const char* kUnknown = "ERR 83886355 Unknown IPC command <Pinentry>";
// Assuan lines hold at most 1000 bytes; a "D " line leaves this much.
constexpr size_t kDataPerLine = 900;

struct Bridge {
  std::string token, socket;
};

bool reply(const std::string& line) {
  std::string out = line + "\n";
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      char hex[3] = {text[i + 1], text[i + 2], 0};
      char* end = nullptr;
      long value = std::strtol(hex, &end, 16);
      if (end == hex + 2) {
        out.push_back(static_cast<char>(value));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// The data lines of an answer: "%", CR and LF escaped, split to fit a line.
bool sendData(const std::string& data) {
  std::string escaped;
  for (char c : data) {
    if (c == '%' || c == '\r' || c == '\n') {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", static_cast<unsigned char>(c));
      escaped += buffer;
    } else {
      escaped.push_back(c);
    }
  }
  for (size_t at = 0; at < escaped.size();) {
    size_t length = std::min(kDataPerLine, escaped.size() - at);
    // An escape is never cut in two.
    if (at + length < escaped.size())
      for (size_t back = 1; back <= 2 && length > back; ++back)
        if (escaped[at + length - back] == '%') length -= back;
    if (!reply("D " + escaped.substr(at, length))) return false;
    at += length;
  }
  std::fill(escaped.begin(), escaped.end(), '\0');
  return true;
}

// The engine's answer to `question`; false when it declined or cannot be
// reached.
bool ask(const Bridge& bridge, const std::string& question, std::string& answer) {
  std::string error;
  if (bridge.socket.empty() ||
      !companion::exchange(bridge.socket.c_str(), bridge.token + '\0' + question + '\0', answer, error))
    return false;
  if (answer.rfind("ok\n", 0) != 0) return false;
  answer.erase(0, 3);
  return true;
}

// Runs the user's own pinentry for a question that is not the engine's.
void runFallback(char** argv) {
  const char* fallback = std::getenv("TAVRIK_PINENTRY_FALLBACK");
  const char* path = fallback && *fallback ? fallback : "/usr/bin/pinentry";
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  char resolved[4096];
  if (n > 0) self[n] = '\0';
  if (n > 0 && ::realpath(path, resolved) && std::strcmp(resolved, self) == 0) return;
  if (::access(path, X_OK) == 0) ::execv(path, argv);
}

} // namespace

int main(int, char** argv) {
  Bridge bridge;
  const char* data = std::getenv("PINENTRY_USER_DATA");
  const std::string marker = "tavrik-pinentry ";
  if (data && std::strncmp(data, marker.c_str(), marker.size()) == 0) {
    const std::string rest = data + marker.size();
    const size_t blank = rest.find(' ');
    if (blank != std::string::npos) {
      bridge.token = rest.substr(0, blank);
      bridge.socket = rest.substr(blank + 1);
    }
  } else {
    runFallback(argv);
  }

  std::string description, prompt, title, error;
  if (!reply("OK Pleased to meet you")) return 1;
  char* line = nullptr;
  size_t capacity = 0;
  for (ssize_t length; (length = ::getline(&line, &capacity, stdin)) > 0;) {
    std::string text(line, static_cast<size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t blank = text.find(' ');
    const std::string command = text.substr(0, blank);
    const std::string argument = blank == std::string::npos ? "" : unescaped(text.substr(blank + 1));
    bool ok = true;
    if (command == "SETDESC") description = argument;
    else if (command == "SETPROMPT") prompt = argument;
    else if (command == "SETTITLE") title = argument;
    else if (command == "SETERROR") error = argument;
    else if (command == "GETINFO") {
      if (argument == "pid") ok = reply("D " + std::to_string(::getpid()));
      else if (argument == "flavor") ok = reply("D tavrik");
      else if (argument == "version") ok = reply("D 1.0");
      else if (argument == "ttyinfo") ok = reply("D - - -");
    } else if (command == "GETPIN") {
      // What the person reads: the agent's error first (a wrong passphrase),
      // then its description and prompt.
      std::string question = error.empty() ? "" : error + "\n";
      question += description.empty() ? title : description;
      if (!prompt.empty()) question += "\n" + prompt;
      error.clear();
      std::string pin;
      const bool answered = ask(bridge, question, pin);
      ok = answered ? sendData(pin) && reply("OK") : reply(kCancelled);
      std::fill(pin.begin(), pin.end(), '\0');
      if (!ok) return 1;
      continue;
    } else if (command == "CONFIRM" || command == "MESSAGE") {
      std::string answer;
      const bool oneButton = command == "MESSAGE" || argument == "--one-button";
      const bool answered = ask(bridge, description.empty() ? title : description, answer);
      if (!reply(answered || oneButton ? "OK" : kNotConfirmed)) return 1;
      continue;
    } else if (command == "BYE") {
      reply("OK closing connection");
      break;
    } else if (command != "OPTION" && command != "RESET" && command != "NOP" && command.rfind("SET", 0) != 0) {
      if (!reply(kUnknown)) return 1;
      continue;
    }
    if (!ok || !reply("OK")) return 1;
  }
  std::free(line);
  return 0;
}
