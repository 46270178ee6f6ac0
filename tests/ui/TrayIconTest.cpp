#include "ui/TrayIconImpl.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

class Host : public CTrayIconImpl<Host> {
 public:
  HWND m_hWnd = nullptr;
  NOTIFYICONDATAW& Data() { return m_nid; }
  HMENU Menu() const { return m_hTrayMenu; }
};

bool IconExists(HWND hWnd) {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = kTrayIconDataSize;
  nid.hWnd = hWnd;
  nid.uID = 1;
  return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

// The icon is added with the dialog's data and deleted again while its window
// still exists (the shell would drop it anyway with the window).
TEST(TrayIcon, InstallAddsTheIconAndRemoveDeletesItRepeatably) {
  HWND hWnd = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(hWnd, nullptr);
  {
    Host host;
    // The form that ends with guidItem, just before the balloon icon (952 bytes on x86).
    EXPECT_EQ(host.Data().cbSize, offsetof(NOTIFYICONDATAW, hBalloonIcon));
    EXPECT_EQ(host.TrayCallbackMessage(), RegisterWindowMessageW(L"WM_TRAYICON"));
    EXPECT_GE(host.TrayCallbackMessage(), 0xC000u);
    EXPECT_EQ(host.Menu(), nullptr);
    host.m_hWnd = hWnd;
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
    EXPECT_FALSE(IconExists(hWnd));
    host.InstallTrayIcon(hWnd, icon, L"Quillon");
    EXPECT_TRUE(IconExists(hWnd));
    EXPECT_NE(host.Menu(), nullptr);  // menu 128 from this exe's resources
    const NOTIFYICONDATAW& d = host.Data();
    EXPECT_EQ(d.uID, 1u);
    EXPECT_EQ(d.uFlags, 7u);
    EXPECT_EQ(d.uCallbackMessage, host.TrayCallbackMessage());
    EXPECT_EQ(d.hIcon, icon);
    EXPECT_STREQ(d.szTip, L"Quillon");
    EXPECT_EQ(d.dwState, 0u);
    EXPECT_EQ(d.szInfo[0], 0);

    host.RemoveTrayIcon();
    EXPECT_FALSE(IconExists(hWnd));
    EXPECT_EQ(host.Menu(), nullptr);
    EXPECT_EQ(host.Data().uFlags, 0u);
    host.RemoveTrayIcon();  // refused by the shell, harmless

    host.InstallTrayIcon(hWnd, icon, L"Quillon");
    EXPECT_TRUE(IconExists(hWnd));
  }  // the mix-in's end removes it too
  EXPECT_FALSE(IconExists(hWnd));
  DestroyWindow(hWnd);
}

}  // namespace
