#pragma once

namespace kormlink {

// Runs the server with the desktop window and the Qt event loop; returns the exit code.
int runDesktop(int argc, char** argv);

}  // namespace kormlink
