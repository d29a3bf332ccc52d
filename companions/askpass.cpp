// Answers git's credential prompts for the engine. Git runs it with the prompt
// text as its only argument and reads the answer from standard output. The
// credential bridge to the client is not wired up yet, so it declines: git
// then reports an authentication failure instead of waiting on a terminal.
#include <cstdio>

int main(int argc, char** argv) {
  std::fprintf(stderr, "askpass: no credential provider is available%s%s\n",
               argc > 1 ? " for: " : "", argc > 1 ? argv[1] : "");
  return 1;
}
