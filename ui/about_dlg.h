#pragma once

#include "ui/framework/dialog.h"

// The About box: its only behaviour of its own is the link.
class CAboutDlg : public CDialog {
  public:
    CAboutDlg();

  protected:
    void DoDataExchange() override;

  private:
    CStatic m_link;
};
