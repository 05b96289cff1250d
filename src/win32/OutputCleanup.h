// What a console event handler does for the output on Windows, before the
// system ends the process.
#pragma once

namespace lindqvar {

// Waits for an output being put in place to be in place, so that the run
// ends with the old file or the whole new one; and deletes a temporary
// output that the system would not delete with its handle, on a file system
// that cannot mark files for that.
void RemovePendingTemporary();

}  // namespace lindqvar
