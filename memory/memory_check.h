#pragma once

// What the memory check needs from the window that runs it: a way to tell the user, and
// whether the user has asked the program to end meanwhile.
class CMemoryCheckHost {
  public:
    // A modal message box with the application's title; returns when the user closed it.
    virtual void ShowMessage(const char* pszText, unsigned int nType) = 0;
    // Once true, the check ends nothing and starts nothing any more.
    virtual bool IsExitRequested() = 0;

  protected:
    ~CMemoryCheckHost() {}
};

// Tells the user when the worm runs (its mutexes exist), restores the Windows 95
// family's shell setting and ends the worm's first process (on the NT family a shell
// that was ended is started again at once). 1 when the worm was found, 0 otherwise.
int CheckMemory(CMemoryCheckHost& host);

// A hook called before the memory check; always 0.
int StartupPathCheck(const char* pszDir);
