#pragma once

#include <string>

namespace kormlink {

// Runs the server with the desktop window and the Qt event loop; returns the exit code.
int runDesktop(int argc, char** argv);

// Shows why the server does not start (the data folder is in use) in a message box, for an
// operator who started it from the desktop and sees no standard error.
void showStartError(int argc, char** argv, const std::string& text);

}  // namespace kormlink
