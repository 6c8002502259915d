#pragma once
// What the operator can do about an error. The commands report through one-text message
// boxes whose wording is fixed; a front end that can say what usually helps asks here, by
// the fault the error came with, rather than keeping its own list.

#include <string>
#include <vector>

#include "platform/Operator.h"

namespace tessel {

// What usually helps against a fault (the port, the target's silence, the image file); ""
// for none.
const char* RemedyFor(Fault fault);

// What a stop the operator asked for left behind, as one message: the clauses the work wrote
// down as it stopped, then the backup files that still hold the operator's data. Empty when
// nothing was stopped part-way (the command had ended, or had no point where it could stop).
std::string StoppedReport(const std::string& notes, const std::vector<std::string>& backups);
// "; the operator's data is kept in A, B" for the backups a stop left, "" for none: the words
// the window and the command line both end a stop's report with.
std::string BackupsClause(const std::vector<std::string>& backups);
extern const char kStoppedPrefix[];

// The remedies, for front ends and tests that name them.
extern const char kPortRemedy[];
extern const char kNoAnswerRemedy[];
extern const char kLinkLostRemedy[];
extern const char kFileRemedy[];

}  // namespace tessel
