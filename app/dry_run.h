// A dry run tells what a real run would do and changes nothing. Every file found
// infected is copied into a folder of the run's own, outside the scanned tree, held in
// use there as the original is, and cleaned by the engine itself with a restart list of
// its own: the outcome is the one a real run would give.
#pragma once

#include <string>

// Makes the folder and puts the dry run in the batch run's place; false when it cannot.
bool StartDryRun();
// Removes the folder.
void EndDryRun();
// The name of the user's file that a name in the dry run's folder stands for.
std::string OriginalOfDryRunName(const std::string& name);
