#include "ui/about_dlg.h"

#include "res/resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX, nullptr) {}

void CAboutDlg::DoDataExchange() {
    DDX_Control(IDC_LINK, m_link);
}
