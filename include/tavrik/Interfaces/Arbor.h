// The object-model layer over git's object database in one include:
// repositories, commits, references and branches, reflogs, revision walks,
// trees and tree-to-tree diffs. Every failure throws `arbor::Error` with the
// library's own message, copied on the failing thread.
//
// Threads: each opened repository, and every object read from it (walks,
// references, trees, diffs), is used by one thread at a time; the caller
// serialises access (a history walker's lock, an operation's own thread).
// Separately opened repositories may be used on different threads at once.
// Commits, signatures, reflog entries and diff deltas are plain values.
#pragma once

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Branch.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Diff.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Interfaces/Reflog.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Interfaces/RevWalk.h"
#include "tavrik/Interfaces/Signature.h"
#include "tavrik/Interfaces/Tree.h"
