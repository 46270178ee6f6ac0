// The program's resources as built (the .rc is linked into this test).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
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
  EXPECT_EQ(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), 2052);
  HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128));
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 1);
  wchar_t text[32] = {};
  GetMenuStringW(menu, 0, text, 32, MF_BYPOSITION);
  EXPECT_STREQ(text, L"PopUp");
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(popup, nullptr);
  ASSERT_EQ(GetMenuItemCount(popup), 1);
  EXPECT_EQ(GetMenuItemID(popup, 0), 1u);
  GetMenuStringW(popup, 0, text, 32, MF_BYPOSITION);
  EXPECT_EQ(std::wstring(text), std::wstring(L"\x9000\x51FA"));  // survived the resource compiler
  MENUITEMINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = MIIM_FTYPE | MIIM_STATE;
  ASSERT_TRUE(GetMenuItemInfoW(popup, 0, TRUE, &info));
  EXPECT_EQ(info.fType, static_cast<UINT>(MFT_STRING));
  EXPECT_EQ(info.fState & (MFS_CHECKED | MFS_DISABLED), 0u);
  DestroyMenu(menu);
}

TEST(Resources, DialogTemplateIsHiddenWithTwoButtons) {
  DWORD size = 0;
  auto* tpl = static_cast<const DLGTEMPLATE*>(
      Resource(RT_DIALOG, 129, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size));
  ASSERT_NE(tpl, nullptr);
  EXPECT_EQ(tpl->style, static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT));
  EXPECT_EQ(tpl->style & WS_VISIBLE, 0u);
  EXPECT_EQ(tpl->cdit, 2);
  EXPECT_EQ(tpl->x, 0);
  EXPECT_EQ(tpl->y, 0);
  EXPECT_EQ(tpl->cx, 187);
  EXPECT_EQ(tpl->cy, 98);
  // Menu, class, caption, point size, face: all wide strings after the header.
  auto* p = reinterpret_cast<const WCHAR*>(tpl + 1);
  EXPECT_EQ(p[0], 0);  // no menu
  EXPECT_EQ(p[1], 0);  // default class
  EXPECT_STREQ(p + 2, L"Quillon");
  p += 2 + wcslen(p + 2) + 1;
  EXPECT_EQ(p[0], 8);
  EXPECT_STREQ(p + 1, L"MS Sans Serif");
  p += 1 + wcslen(p + 1) + 1;

  struct Expected {
    WORD id;
    short x, y, cx, cy;
    DWORD buttonStyle;
    const wchar_t* text;
  } expected[] = {{IDOK, 130, 7, 50, 14, BS_DEFPUSHBUTTON, L"OK"},
                  {IDCANCEL, 130, 24, 50, 14, BS_PUSHBUTTON, L"Cancel"}};
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.id);
    p = reinterpret_cast<const WCHAR*>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));
    auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(p);
    EXPECT_EQ(item->id, e.id);
    EXPECT_EQ(item->x, e.x);
    EXPECT_EQ(item->y, e.y);
    EXPECT_EQ(item->cx, e.cx);
    EXPECT_EQ(item->cy, e.cy);
    EXPECT_EQ(item->style & 0xF, e.buttonStyle);
    EXPECT_EQ(item->style & (WS_VISIBLE | WS_TABSTOP), static_cast<DWORD>(WS_VISIBLE | WS_TABSTOP));
    p = reinterpret_cast<const WCHAR*>(item + 1);
    EXPECT_EQ(p[0], 0xFFFF);
    EXPECT_EQ(p[1], 0x0080);  // the button class
    EXPECT_STREQ(p + 2, e.text);
    p += 2 + wcslen(p + 2) + 1;
    p += 1 + p[0] / sizeof(WCHAR);  // creation data
  }
}

TEST(Resources, TooltipIconAndManifest) {
  wchar_t tip[64] = {};
  EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), 128, tip, 64), 7);
  EXPECT_STREQ(tip, L"Quillon");

  // Icon 128: one image, 32x32 at 32 bits per pixel.
  DWORD size = 0;
  auto* group = static_cast<const BYTE*>(
      Resource(RT_GROUP_ICON, 128, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size));
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(size, 6u + 14u);
  EXPECT_EQ(*reinterpret_cast<const WORD*>(group + 4), 1);       // image count
  EXPECT_EQ(group[6], 32);                                       // width
  EXPECT_EQ(group[7], 32);                                       // height
  EXPECT_EQ(*reinterpret_cast<const WORD*>(group + 6 + 6), 32);  // bits per pixel
  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
  EXPECT_NE(icon, nullptr);

  auto* manifest =
      static_cast<const char*>(Resource(RT_MANIFEST, 1, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &size));
  ASSERT_NE(manifest, nullptr);
  const std::string text(manifest, size);
  for (const char* needle :
       {"level=\"asInvoker\"", "uiAccess=\"false\"", "name=\"Microsoft.Windows.Common-Controls\"",
        "version=\"6.0.0.0\"", "processorArchitecture=\"x86\""}) {
    EXPECT_NE(text.find(needle), std::string::npos) << needle;
  }
}

}  // namespace
