// The program: start-up, the message loop and the orderly end.
#pragma once

namespace tessaro::app {

// Runs the program; the result is the process's exit code.
int Main(int argc, char** argv);

}  // namespace tessaro::app
