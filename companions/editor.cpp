// Stands in for git's sequence editor during an interactive rebase. The bridge
// to the engine's rebase plan is not wired up yet, so it refuses to edit: git
// then aborts the rebase rather than running an unreviewed plan.
#include <cstdio>

int main(int argc, char** argv) {
  std::fprintf(stderr, "editor: no rebase plan is available%s%s\n",
               argc > 1 ? " for: " : "", argc > 1 ? argv[1] : "");
  return 1;
}
