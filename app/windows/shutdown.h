#pragma once

// Asks Windows to restart; any failing step ends in FatalShutdownError.
void RestartComputer();

// Shows "Error while shutting down" and ends the process with exit code 0.
[[noreturn]] void FatalShutdownError();
