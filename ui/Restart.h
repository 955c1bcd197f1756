#pragma once
// Restarting the host: the same executable with the same arguments, started
// by a detached helper once this process has gone through its bounded
// shutdown and exited (its ports are free then).
#include <string>
#include <vector>

// Forks the helper; it waits for this process to end, then execs the
// executable with argv (argv[0] included). No shell ever sees the path.
// False when the helper could not be started.
bool spawnAfterExit(const std::string& exe, const std::vector<std::string>& argv);
// Kept from main() for restartHost().
void rememberCommandLine(int argc, char** argv);
// spawnAfterExit for this process's own executable and command line, then
// shutdownAndExit(). Returns only if the helper could not be started.
void restartHost();
