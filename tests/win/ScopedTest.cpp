#include "win/Scoped.h"

#include <gtest/gtest.h>

#include <utility>

#include "FakeDispatch.h"

namespace {

bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// A handle is closed once, by its last owner; one replaced by a move is closed at once.
TEST(ScopedHandle, TheLastOwnerClosesAndBothEmptyValuesAreEmpty) {
  EXPECT_FALSE(CScopedHandle().IsValid());
  EXPECT_FALSE(CScopedHandle(INVALID_HANDLE_VALUE).IsValid());
  const HANDLE raw = NewEvent();
  const HANDLE replaced = NewEvent();
  ASSERT_TRUE(raw && replaced);
  {
    CScopedHandle first(raw);
    CScopedHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    CScopedHandle third(replaced);
    third = std::move(second);
    EXPECT_FALSE(IsOpen(replaced));
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));
}

// Filling the same pointer twice must not leak the first object.
TEST(ScopedComPtr, PutReleasesWhatItHeldAndTheLastOwnerReleases) {
  fakedispatch::FakeDispatch a, b;
  {
    CScopedComPtr<IDispatch> p;
    a.AddRef();
    *p.Put() = &a;
    b.AddRef();
    *p.Put() = &b;
    EXPECT_EQ(a.RefCount(), 1u);
    CScopedComPtr<IDispatch> q(std::move(p));
    EXPECT_FALSE(p);
    EXPECT_EQ(b.RefCount(), 2u);
  }
  EXPECT_EQ(b.RefCount(), 1u);
}

TEST(ScopedAnsiString, FreesEachStringItWasGiven) {
  fakedispatch::BstrLedger ledger;
  {
    CScopedAnsiString text;
    *text.Put() = reinterpret_cast<LPSTR>(SysAllocStringByteLen("COM7", 4));
    *text.Put() = reinterpret_cast<LPSTR>(SysAllocStringByteLen("COM8", 4));
    EXPECT_STREQ(text.Get(), "COM8");
  }
  EXPECT_EQ(ledger.Allocations(), 2);
  EXPECT_EQ(ledger.Outstanding(), 0);
}

}  // namespace
