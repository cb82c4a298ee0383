#include <windows.h>

#include <commctrl.h>

#include "ui/framework/wnd.h"

void CListCtrl::InsertColumn(int index, const char* heading, int width) const {
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<char*>(heading);
    column.iSubItem = index;
    SendMessage(LVM_INSERTCOLUMNA, WPARAM(index), LPARAM(&column));
}

void CListCtrl::InsertItem(int index, const char* text) const {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<char*>(text);
    SendMessage(LVM_INSERTITEMA, 0, LPARAM(&item));
}

void CListCtrl::SetItemText(int index, int subItem, const char* text) const {
    LVITEMA item = {};
    item.iSubItem = subItem;
    item.pszText = const_cast<char*>(text);
    SendMessage(LVM_SETITEMTEXTA, WPARAM(index), LPARAM(&item));
}
