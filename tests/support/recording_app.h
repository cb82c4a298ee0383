// For Windows tests: an application object that answers every message box shown
// through it and keeps what it showed, and the path of a program built beside the test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui/framework/win_app.h"

class RecordingApp : public CWinApp {
  public:
    int DoMessageBox(const char* pszText, UINT nType, UINT) override {
        m_boxes.push_back(pszText);
        m_types.push_back(nType);
        return IDOK;
    }
    void Clear() {
        m_boxes.clear();
        m_types.clear();
    }
    std::vector<std::string> m_boxes;
    std::vector<UINT> m_types;
};

inline std::string BesideTest(const char* name) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir = path;
    return dir.substr(0, dir.rfind('\\') + 1) + name;
}
