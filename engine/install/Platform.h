// The platform whose files we update: how to stop it and how to start it.
#pragma once

// Title of the platform's main window (system code page).
extern const char kPlatformWindowTitle[];
// The platform's executable, joined to the updater's folder.
extern const char kPlatformExeName[];

// How long a terminated platform may take to go away before the run gives up.
const unsigned long kPlatformExitWaitMs = 10000;

// Terminates every process that owns a top-level window with the platform's
// title and waits (at most kPlatformExitWaitMs in all) until each has ended.
// True when no platform is left running; nothing may be replaced otherwise.
// stoppedOne (when given) tells whether one was running and was ended.
bool StopRunningPlatform(bool* stoppedOne = nullptr);

// Starts the platform's executable from the installation folder, unless a
// window of it exists already.
void StartPlatform(const char* installationFolder);
