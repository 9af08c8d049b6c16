// The platform whose files we update: how to stop it and how to start it.
#pragma once

// Title of the platform's main window (system code page).
extern const char kPlatformWindowTitle[];
// The platform's executable, joined to the updater's folder.
extern const char kPlatformExeName[];

// Terminates the process that owns a top-level window with the platform's
// title, if there is one. Does not wait for it to end.
void StopRunningPlatform();

// Creates every folder named in relativeName (all but its last element) under base.
bool CreateFoldersFor(const char* base, const char* relativeName);
