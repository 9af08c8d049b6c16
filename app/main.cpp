#include "UpdaterApp.h"

// The one application object.
CUpdaterApp theApp;
