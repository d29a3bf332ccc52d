// The object-model layer over git's object database in one include:
// repositories, commits, references and branches, reflogs, revision walks,
// trees and tree-to-tree diffs. Every failure throws `arbor::Error` with the
// library's own message.
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
