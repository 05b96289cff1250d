// The programme sections of a plain join, copied two at a time. In a join
// with nothing rewritten and nothing dropped every section's place in the
// output is known before a byte of it is copied, so each can go straight
// to its place, read and written by a thread of its own. For gzip inputs,
// which the second pass inflates again, that puts a second core to work
// on the inflating, which sets the pace.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Inputs.h"
#include "OutputFile.h"
#include "Spool.h"

namespace lindqvar {

// Copies the programme sections of inputs to output, one after another
// from offset at: through buffer here and, where a second core and a
// thread can be had, through spare on a thread of its own at the same
// time. Each input is let go once its section is copied. Returns where the
// last section ends. What a copy throws is thrown here: the failure of the
// first section in output order that failed, as copying them one by one
// would have met it.
std::uint64_t CopyProgrammesAtOffsets(std::vector<ListingInput>& inputs, Spool* spool,
                                      OutputFile& output, std::uint64_t at, std::span<char> buffer,
                                      std::span<char> spare);

}  // namespace lindqvar
