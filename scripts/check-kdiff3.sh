#!/usr/bin/env bash
# Resolves a trivial merge conflict with the real KDiff3, headless, through
# `tavrik mergetool --tool KDiff3`: the path a client takes. KDiff3 is too
# large a dependency for the regular test run, so this check stands apart.
# Usage: scripts/check-kdiff3.sh [--install] [path/to/tavrik]
#   --install  apt-get install kdiff3 first (as root)
#   the client defaults to build/dev/cli/tavrik (or $TAVRIK_CLI)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --install ]; then
  shift
  if [ "$(id -u)" -ne 0 ]; then echo "check-kdiff3: --install needs root" >&2; exit 2; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends kdiff3 >/dev/null
fi
tavrik=${1:-${TAVRIK_CLI:-$root/build/dev/cli/tavrik}}
command -v kdiff3 >/dev/null || { echo "check-kdiff3: kdiff3 is not installed (try --install)" >&2; exit 2; }
[ -x "$tavrik" ] || { echo "check-kdiff3: no client at $tavrik" >&2; exit 2; }
tavrik=$(realpath "$tavrik")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 HOME="$work"
export GIT_AUTHOR_NAME=Check GIT_AUTHOR_EMAIL=check@example.com
export GIT_COMMITTER_NAME=Check GIT_COMMITTER_EMAIL=check@example.com

# Neighbouring lines changed on each side: a conflict to git, a clean
# line-by-line merge to KDiff3.
repo=$work/repo
git init -q -b main "$repo"
cd "$repo"
printf 'one\ntwo\n' > notes.txt
git add notes.txt && git commit -qm base
git checkout -qb side
printf 'one\nTWO\n' > notes.txt && git commit -qam theirs
git checkout -q main
printf 'ONE\ntwo\n' > notes.txt && git commit -qam ours
if git merge -q side >/dev/null 2>&1; then echo "check-kdiff3: expected a conflict" >&2; exit 1; fi

# The timeout turns a window waiting for a person into a failure.
QT_QPA_PLATFORM=offscreen TAVRIK_KDIFF3_AUTO=1 timeout 120 "$tavrik" mergetool --tool KDiff3 notes.txt

fail() { echo "check-kdiff3: FAILED: $*" >&2; exit 1; }
[ "$(cat notes.txt)" = "$(printf 'ONE\nTWO')" ] || fail "merged file is: $(cat notes.txt)"
[ -z "$(git diff --name-only --diff-filter=U)" ] || fail "the conflict is still recorded"
[ -z "$(git status --porcelain --untracked-files=all | grep -v '^M  notes.txt$' || true)" ] ||
  fail "stray files: $(git status --porcelain --untracked-files=all)"
echo "check-kdiff3: passed"
