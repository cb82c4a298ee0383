// A platform layer that lets the one call numbered `g_nFaultAt` (counted from 1 over
// every call that changes a file, loads an image or edits the restart list) fail, and
// passes everything else to the real POSIX layer.
#pragma once

extern int g_nFaultAt;    // 0: nothing fails
extern int g_nFaultable;  // calls counted so far
