#pragma once
// The end-to-end rig as a fixture: the fake reader on COM7, the test WMI provider
// listing it, Quillon.exe running with the line open (and its opening's purge over),
// and a target window with the focus. Needs QUILLON_EXE and TARGET_WINDOW_EXE.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/support/targetwindow/TargetWindow.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace quillon_system {

class ReaderFixture : public ::testing::Test {
 protected:
  // `quillonArgs`: Quillon.exe's switches (none when null); `targetOptions`: the
  // target window's (TargetWindow.cpp), such as L"--log FILE".
  explicit ReaderFixture(const wchar_t* targetTitle, const wchar_t* quillonArgs = nullptr,
                         std::wstring targetOptions = std::wstring())
      : m_targetTitle(targetTitle), m_quillonArgs(quillonArgs), m_targetOptions(std::move(targetOptions)) {}

  void SetUp() override {
    ASSERT_TRUE(reader_.Connected()) << reader_.LastError();
    ASSERT_TRUE(reader_.Plug(kReaderPort)) << reader_.LastError();
    wmi_.reset(new quillon::fakewmi::ScopedFakeWmi(ReaderDevices()));
    ASSERT_EQ(wmi_->Result(), S_OK);
    ASSERT_TRUE(quillon_.Start(QUILLON_EXE, m_quillonArgs));
    ASSERT_TRUE(
        StartTargetWindow(WinePath(TARGET_WINDOW_EXE), m_targetTitle, target_, kLong, m_targetOptions));
    // The first run (at start) opens the reader.
    ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong)) << reader_.LastError() << LogText();
    ASSERT_TRUE(SyncWithOpen(reader_, kReaderPort)) << reader_.LastError();
  }

  void TearDown() override {
    quillon_.Stop();
    StopTargetWindow(target_);
    reader_.Unplug(kReaderPort);
    wmi_.reset();
  }

  // The provider's call log, for failure messages.
  std::string LogText() {
    std::string text = "\nprovider log:\n";
    for (const std::string& line : wmi_->Log().Lines()) text += line + "\n";
    return text;
  }

  std::wstring Text() { return GetTargetText(target_.edit); }

  quillon_test::FakeReader reader_;
  std::unique_ptr<quillon::fakewmi::ScopedFakeWmi> wmi_;
  Program quillon_;
  TargetWindow target_;

 private:
  const wchar_t* m_targetTitle;
  const wchar_t* m_quillonArgs;
  std::wstring m_targetOptions;
};

}  // namespace quillon_system
