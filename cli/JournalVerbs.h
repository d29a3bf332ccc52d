// The verbs of the undo journal: undo (or list its entries) and redo.
#pragma once

#include "Verb.h"

#include "tavrik/Journal/GitUndoJournal.h"

#include <cstdint>
#include <vector>

namespace tavrik::cli {

std::vector<VerbSpec> journalVerbs();

/// Tells a person at a terminal that the verb they ran can be undone, when
/// it wrote an entry.
void printUndoHint(const GitUndoJournal& journal, bool terminal);

} // namespace tavrik::cli
