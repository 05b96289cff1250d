// Where the output lies on POSIX systems, for the files kept beside it.
#pragma once

#include <optional>
#include <string>

namespace lindqvar {

// The folder where a file kept for the run's sake (the spool) may go on the
// output's own file system: for a name that leads to a descriptor the
// program was started with (/dev/stdout > guide.xml), the folder of the
// regular file it writes to, where that can be found; for any other name
// that is no regular file (a device, a FIFO), none; else the name's own
// folder.
std::optional<std::string> FolderBesideOutput(const std::string& name);

}  // namespace lindqvar
