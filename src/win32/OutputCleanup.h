// What a console event handler may do for the output on Windows.
#pragma once

namespace lindqvar {

// Deletes the temporary output while one lies under its own name, that is
// between the moment it stops being deleted with its handle and the moment
// it is moved into place.
void RemovePendingTemporary();

}  // namespace lindqvar
