// The program's resources as built (the .rc is linked into this test).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const void* Resource(LPCWSTR type, WORD id, WORD lang, DWORD* size) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC res = FindResourceExW(module, type, MAKEINTRESOURCEW(id), lang);
  if (res == nullptr) return nullptr;
  *size = SizeofResource(module, res);
  return LockResource(LoadResource(module, res));
}

TEST(Resources, TrayMenuIsOnePopupWithTheExitItemInSimplifiedChinese) {
  DWORD size = 0;
  ASSERT_NE(Resource(RT_MENU, 128, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), &size), nullptr);
  HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128));
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 1);
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(popup, nullptr);
  ASSERT_EQ(GetMenuItemCount(popup), 1);
  EXPECT_EQ(GetMenuItemID(popup, 0), static_cast<UINT>(IDOK));  // the dialog ends on IDOK
  wchar_t text[32] = {};
  GetMenuStringW(popup, 0, text, 32, MF_BYPOSITION);
  EXPECT_EQ(std::wstring(text), std::wstring(L"\x9000\x51FA"));  // survived the resource compiler
  MENUITEMINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = MIIM_STATE;
  ASSERT_TRUE(GetMenuItemInfoW(popup, 0, TRUE, &info));
  EXPECT_EQ(info.fState & (MFS_CHECKED | MFS_DISABLED), 0u);
  DestroyMenu(menu);
}

INT_PTR CALLBACK PlainDialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Made for real: it must stay hidden, carry the caption the running copy is
// found by, and hold the buttons whose commands end it.
TEST(Resources, DialogIsCreatedHiddenWithItsCaptionAndButtons) {
  HWND dlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(129), nullptr, PlainDialog, 0);
  ASSERT_NE(dlg, nullptr);
  EXPECT_FALSE(IsWindowVisible(dlg));
  wchar_t text[32] = {};
  GetWindowTextW(dlg, text, 32);
  EXPECT_STREQ(text, L"Quillon");
  for (int id : {IDOK, IDCANCEL}) {
    SCOPED_TRACE(id);
    wchar_t cls[32] = {};
    GetClassNameW(GetDlgItem(dlg, id), cls, 32);
    EXPECT_STREQ(cls, L"Button");
  }
  DestroyWindow(dlg);
}

TEST(Resources, TooltipIconAndManifest) {
  wchar_t tip[64] = {};
  LoadStringW(GetModuleHandleW(nullptr), 128, tip, 64);
  EXPECT_STREQ(tip, L"Quillon");

  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
  EXPECT_NE(icon, nullptr);

  DWORD size = 0;

  auto* manifest =
      static_cast<const char*>(Resource(RT_MANIFEST, 1, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size));
  ASSERT_NE(manifest, nullptr);
  const std::string text(manifest, size);
  for (const char* needle :
       {"level=\"asInvoker\"", "uiAccess=\"false\"", "name=\"Microsoft.Windows.Common-Controls\"",
        "version=\"6.0.0.0\"", "processorArchitecture=\"*\""}) {
    EXPECT_NE(text.find(needle), std::string::npos) << needle;
  }
}

}  // namespace
