#pragma once

#include "ui/framework/dialog.h"
#include "ui/hyperlink.h"

// The About box: its only behaviour of its own is the link.
class CAboutDlg : public CDialog {
  public:
    CAboutDlg();

  protected:
    void DoDataExchange() override;

  private:
    CHyperLink m_link;
};
