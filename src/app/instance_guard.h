#pragma once

// The single-instance guard of the process: only one instance of the program
// runs at a time (per user).
namespace brivane {

// Takes the guard. False when another instance holds it; the caller then ends
// at once, showing nothing. When the lock file cannot be used at all the
// program runs unguarded rather than not at all (true).
bool TakeInstanceGuard();

// Releases the guard if held (the preview does so as soon as it starts
// drawing, so that the saver or the dialog can start meanwhile).
void ReleaseInstanceGuard();

}  // namespace brivane
