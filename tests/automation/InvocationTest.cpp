// The invocation engine against the test automation object: argument and
// result specifiers, paths, kinds, reference counts and string ownership.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "FakeDispatch.h"
#include "automation/Automation.h"

namespace quillon {
namespace {

using fakedispatch::BstrLedger;
using fakedispatch::FakeDispatch;
using fakedispatch::RecordedArg;
using fakedispatch::RecordedCall;

const LONG kSentinel = 77;

class Invocation : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseThreadState();
    ErrorOptions none = {};
    SetErrorOptions(&none);
    InitializeAutomation(FALSE, TRUE);
    fake.Add(L"M", 10);
  }
  void TearDown() override {
    // The caller's object keeps exactly its reference on every path.
    EXPECT_EQ(fake.RefCount(), 1u);
    EXPECT_EQ(other.RefCount(), 1u);
    InitializeAutomation(FALSE, TRUE);
  }
  const ErrorRecord& Record() {
    ErrorRecord* record = nullptr;
    GetErrorRecord(&record);
    static const ErrorRecord empty = {};
    return record ? *record : empty;
  }

  FakeDispatch fake;
  FakeDispatch other;
};

// ---- argument specifiers ----------------------------------------------------

struct ArgCase {
  const char* name;
  bool ansiMode;  // "T" means ANSI
  std::function<HRESULT(IDispatch*, IDispatch* other)> call;
  std::function<void(const RecordedArg&, IDispatch* other)> check;
};

BSTR g_callerBstr;  // a caller's BSTR, passed by "B" and "v"
const wchar_t kWide[] = L"wide \u00e9";
const char kAnsi[] = "ansi text";

void ExpectI4(const RecordedArg& a, LONG v) {
  ASSERT_EQ(V_VT(&a.raw), VT_I4);
  EXPECT_EQ(V_I4(&a.raw), v);
}

void ExpectDate(const RecordedArg& a, double v) {
  ASSERT_EQ(V_VT(&a.raw), VT_DATE);
  EXPECT_NEAR(V_DATE(&a.raw), v, 1e-8);
}

const ArgCase kArgCases[] = {
    {"d", false, [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%d, %d)", -5, kSentinel); },
     [](const RecordedArg& a, IDispatch*) { ExpectI4(a, -5); }},
    {"p_is_32_bits", false,
     [](IDispatch* o, IDispatch*) {
       return CallMethod(o, L"M(%p, %d)", reinterpret_cast<void*>(0x12345678), kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) { ExpectI4(a, 0x12345678); }},
    {"u", false, [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%u, %d)", 0xFFFFFFFEu, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_UI4);
       EXPECT_EQ(V_UI4(&a.raw), 0xFFFFFFFEu);
     }},
    {"e", false, [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%e, %d)", 0.5, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_R8);
       EXPECT_EQ(V_R8(&a.raw), 0.5);
     }},
    {"b_two_is_true", false,
     [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%b, %d)", 2, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BOOL);
       EXPECT_EQ(V_BOOL(&a.raw), VARIANT_TRUE);
     }},
    {"b_zero_is_false", false,
     [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%b, %d)", 0, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BOOL);
       EXPECT_EQ(V_BOOL(&a.raw), VARIANT_FALSE);
     }},
    {"v_copied_bitwise", false,
     [](IDispatch* o, IDispatch*) {
       VARIANT v;
       V_VT(&v) = VT_BSTR;
       V_BSTR(&v) = g_callerBstr;
       return CallMethod(o, L"M(%v, %d)", &v, kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BSTR);
       EXPECT_EQ(V_BSTR(&a.raw), g_callerBstr);
     }},
    // A record's two pointers end the VARIANT on both architectures (its last 8 bytes on x64).
    {"v_copies_the_whole_variant", false,
     [](IDispatch* o, IDispatch*) {
       VARIANT v;
       V_VT(&v) = VT_RECORD;
       V_RECORD(&v) = reinterpret_cast<void*>(0x1111);
       V_RECORDINFO(&v) = reinterpret_cast<IRecordInfo*>(0x2222);  // never used: "v" slots are not cleared
       return CallMethod(o, L"M(%v, %d)", &v, kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_RECORD);
       EXPECT_EQ(V_RECORD(&a.raw), reinterpret_cast<void*>(0x1111));
       EXPECT_EQ(V_RECORDINFO(&a.raw), reinterpret_cast<IRecordInfo*>(0x2222));
     }},
    {"B_not_copied", false,
     [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%B, %d)", g_callerBstr, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BSTR);
       EXPECT_EQ(V_BSTR(&a.raw), g_callerBstr);
     }},
    {"S_copied", false,
     [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%S, %d)", kWide, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BSTR);
       EXPECT_EQ(a.text, kWide);
       EXPECT_NE(static_cast<const void*>(V_BSTR(&a.raw)), static_cast<const void*>(kWide));
     }},
    {"S_null", false,
     [](IDispatch* o, IDispatch*) {
       return CallMethod(o, L"M(%S, %d)", static_cast<LPCWSTR>(nullptr), kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BSTR);
       EXPECT_TRUE(a.nullBstr);
     }},
    {"s", false, [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%s, %d)", kAnsi, kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_BSTR);
       EXPECT_EQ(a.text, L"ansi text");
     }},
    {"s_null", false,
     [](IDispatch* o, IDispatch*) {
       return CallMethod(o, L"M(%s, %d)", static_cast<LPCSTR>(nullptr), kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) { EXPECT_TRUE(a.nullBstr); }},
    {"T_wide_mode", false,
     [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%T, %d)", kWide, kSentinel); },
     [](const RecordedArg& a, IDispatch*) { EXPECT_EQ(a.text, kWide); }},
    {"T_ansi_mode", true,
     [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%T, %d)", kAnsi, kSentinel); },
     [](const RecordedArg& a, IDispatch*) { EXPECT_EQ(a.text, L"ansi text"); }},
    {"o_no_reference", false,
     [](IDispatch* o, IDispatch* other) { return CallMethod(o, L"M(%o, %d)", other, kSentinel); },
     [](const RecordedArg& a, IDispatch* other) {
       ASSERT_EQ(V_VT(&a.raw), VT_DISPATCH);
       EXPECT_EQ(V_DISPATCH(&a.raw), other);
     }},
    {"O_no_reference", false,
     [](IDispatch* o, IDispatch* other) {
       return CallMethod(o, L"M(%O, %d)", static_cast<IUnknown*>(other), kSentinel);
     },
     [](const RecordedArg& a, IDispatch* other) {
       ASSERT_EQ(V_VT(&a.raw), VT_UNKNOWN);
       EXPECT_EQ(V_UNKNOWN(&a.raw), static_cast<IUnknown*>(other));
     }},
    {"D", false, [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%D, %d)", 36526.75, kSentinel); },
     [](const RecordedArg& a, IDispatch*) { ExpectDate(a, 36526.75); }},
    // Beyond 32 bits, so a 32-bit read fails on x64 too, where every slot is 8 bytes.
    {"t_64_bits", false,
     [](IDispatch* o, IDispatch*) {
       return CallMethod(o, L"M(%t, %d)", static_cast<__int64>(50000) * 86400 + 43200, kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) { ExpectDate(a, 25569 + 50000.5); }},  // the test runs in UTC
    {"W", false,
     [](IDispatch* o, IDispatch*) {
       SYSTEMTIME st = {2000, 1, 6, 1, 18, 0, 0, 0};
       return CallMethod(o, L"M(%W, %d)", &st, kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) { ExpectDate(a, 36526.75); }},
    {"f", false,
     [](IDispatch* o, IDispatch*) {
       FILETIME ft = {0, 0};
       ULARGE_INTEGER u;
       u.QuadPart = 94353120000000000ull + 864000000000ull;  // 31 Dec 1899
       ft.dwLowDateTime = u.LowPart;
       ft.dwHighDateTime = u.HighPart;
       return CallMethod(o, L"M(%f, %d)", &ft, kSentinel);
     },
     [](const RecordedArg& a, IDispatch*) { ExpectDate(a, 1.0); }},
    {"m_omitted", false, [](IDispatch* o, IDispatch*) { return CallMethod(o, L"M(%m, %d)", kSentinel); },
     [](const RecordedArg& a, IDispatch*) {
       ASSERT_EQ(V_VT(&a.raw), VT_ERROR);
       EXPECT_EQ(V_ERROR(&a.raw), DISP_E_PARAMNOTFOUND);
     }},
};

TEST_F(Invocation, EveryArgumentSpecifierBuildsItsValueWithItsExactWidth) {
  g_callerBstr = SysAllocString(L"caller's");
  for (const ArgCase& c : kArgCases) {
    SCOPED_TRACE(c.name);
    fake.calls.clear();
    InitializeAutomation(FALSE, c.ansiMode ? FALSE : TRUE);
    {
      BstrLedger ledger;
      ASSERT_EQ(c.call(&fake, &other), S_OK);
      EXPECT_EQ(ledger.Outstanding(), 0) << "a BSTR the engine made was not freed";
    }
    ASSERT_EQ(fake.calls.size(), 1u);
    const RecordedCall& call = fake.calls[0];
    EXPECT_EQ(call.kind, DISPATCH_METHOD);
    EXPECT_TRUE(call.named.empty());
    // rgvarg order: the sentinel that followed is element 0.
    ASSERT_EQ(call.args.size(), 2u);
    ExpectI4(call.args[0], kSentinel);
    c.check(call.args[1], &other);
  }
  // "B" and "v" neither copied nor freed the caller's string.
  EXPECT_STREQ(g_callerBstr, L"caller's");
  SysFreeString(g_callerBstr);
}

TEST_F(Invocation, UnknownArgumentSpecifiersFailBeforeTheCall) {
  const wchar_t* members[] = {L"M(%%)", L"M(%", L"M(%x)", L"M(%i)", L"M(%q, %d)"};
  for (const wchar_t* member : members) {
    SCOPED_TRACE(testing::Message() << std::string(member, member + wcslen(member)));
    fake.namesAsked.clear();
    EXPECT_EQ(CallMethod(&fake, member, 1, 2), E_INVALIDARG);
    EXPECT_TRUE(fake.namesAsked.empty());
    EXPECT_STREQ(Record().failedOperation, L"CreateArgumentArray");
    EXPECT_STREQ(Record().outerOperation, L"CallMethod");
  }
}

TEST_F(Invocation, NullTimePointersAreRejected) {
  EXPECT_EQ(CallMethod(&fake, L"M(%W)", static_cast<SYSTEMTIME*>(nullptr)), E_INVALIDARG);
  EXPECT_EQ(CallMethod(&fake, L"M(%f)", static_cast<FILETIME*>(nullptr)), E_INVALIDARG);
  EXPECT_EQ(CallMethod(&fake, L"M(%v)", static_cast<VARIANT*>(nullptr)), E_INVALIDARG);
  EXPECT_TRUE(fake.calls.empty());
}

// ---- member-string grammar ---------------------------------------------------

TEST_F(Invocation, NameEndsAtParenthesisSpaceEqualsOrPercent) {
  fake.Add(L"Value", 20);
  fake.Add(L"Foo", 21);
  struct {
    const wchar_t* member;
    const wchar_t* name;
    size_t args;
  } cases[] = {
      {L".Value", L"Value", 0},   {L"Value", L"Value", 0},        {L"Value = %d", L"Value", 1},
      {L"Value=%d", L"Value", 1}, {L"Value %d", L"Value", 1},     {L"Value%d", L"Value", 1},
      {L"Foo(1, %d)", L"Foo", 1}, {L"Foo(  %d  ,%d)", L"Foo", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::wstring(c.member).size());
    fake.namesAsked.clear();
    fake.calls.clear();
    ASSERT_EQ(PutValue(&fake, c.member, 3, 4), S_OK);
    ASSERT_EQ(fake.namesAsked.size(), 1u);
    EXPECT_EQ(fake.namesAsked[0], c.name);
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].args.size(), c.args);
  }
}

TEST_F(Invocation, PathPassesArgumentsToTheirOwnSegment) {
  FakeDispatch item;
  item.Add(L"Name", 5, fakedispatch::ReturnsString(L"third"));
  fake.Add(L"Item", 4, fakedispatch::ReturnsObject(&item));
  BSTR name = nullptr;
  {
    BstrLedger ledger;
    ASSERT_EQ(GetValue(L"%S", &name, &fake, L"Item(%d).Name", 3), S_OK);
    EXPECT_EQ(ledger.Outstanding(), 1);  // the caller's result
    SysFreeString(name);
    EXPECT_EQ(ledger.Outstanding(), 0);
  }
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].kind, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  ASSERT_EQ(fake.calls[0].args.size(), 1u);
  ExpectI4(fake.calls[0].args[0], 3);
  ASSERT_EQ(item.calls.size(), 1u);
  EXPECT_TRUE(item.calls[0].args.empty());
  EXPECT_EQ(item.RefCount(), 1u);  // the walk's reference was released
}

// Calls GetValueV and returns the int that follows what it consumed.
int NextAfterGetValueV(HRESULT* hr, LPCWSTR spec, void* result, IDispatch* object, LPCWSTR member, ...) {
  va_list args;
  va_start(args, member);
  *hr = GetValueV(spec, result, object, member, &args);
  int next = va_arg(args, int);
  va_end(args);
  return next;
}

TEST_F(Invocation, VFormsAdvanceTheListAcrossSegmentsAndStopAtAFailure) {
  FakeDispatch item;
  item.Add(L"Cell", 6, fakedispatch::ReturnsInt(9));
  fake.Add(L"Item", 4, fakedispatch::ReturnsObject(&item));
  LONG value = 0;
  HRESULT hr;
  EXPECT_EQ(NextAfterGetValueV(&hr, L"%d", &value, &fake, L".Item(%d).Cell(%e)", 1, 2.5, 555), 555);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(value, 9);
  ASSERT_EQ(item.calls.size(), 1u);
  ASSERT_EQ(item.calls[0].args.size(), 1u);
  EXPECT_EQ(V_R8(&item.calls[0].args[0].raw), 2.5);

  // A failing first segment consumes only its own arguments.
  EXPECT_EQ(NextAfterGetValueV(&hr, L"%d", &value, &fake, L".Missing(%d).Cell(%d)", 1, 2), 2);
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(item.calls.size(), 1u);
  EXPECT_EQ(item.RefCount(), 1u);
}

TEST_F(Invocation, DoubleDotAsksForAnEmptyName) {
  fake.Add(L"Name", 5);
  EXPECT_EQ(CallMethod(&fake, L"..Name"), DISP_E_UNKNOWNNAME);
  ASSERT_EQ(fake.namesAsked.size(), 1u);
  EXPECT_EQ(fake.namesAsked[0], L"");
  EXPECT_STREQ(Record().failedOperation, L"InvokeArray");
  EXPECT_STREQ(Record().memberText, L"..Name");
}

TEST_F(Invocation, SegmentYieldingNoObjectFailsWithNoInterface) {
  fake.Add(L"Parent", 7, fakedispatch::ReturnsNullObject());
  fake.Add(L"Number", 8, fakedispatch::ReturnsInt(4));
  EXPECT_EQ(CallMethod(&fake, L"Parent.Name"), E_NOINTERFACE);
  EXPECT_STREQ(Record().failedOperation, L"TraverseSubObjects");
  // An integer cannot become an object: the coercion's failure stops the walk.
  EXPECT_EQ(CallMethod(&fake, L"Number.Name"), DISP_E_TYPEMISMATCH);
  EXPECT_STREQ(Record().failedOperation, L"InternalInvokeV");
  EXPECT_EQ(fake.namesAsked.size(), 2u);  // Name was never asked
}

#define S5 kWide, kWide, kWide, kWide, kWide
#define S25 S5, S5, S5, S5, S5

TEST_F(Invocation, TwentyFiveArgumentsFitAndATwentySixthIsRefused) {
  std::wstring member = L"M(";
  for (int i = 0; i < 25; ++i) member += L"%S,";
  {
    BstrLedger ledger;
    ASSERT_EQ(CallMethod(&fake, member.c_str(), S25), S_OK);
    EXPECT_EQ(ledger.Outstanding(), 0);
  }
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].args.size(), 25u);

  member += L"%S)";
  {
    BstrLedger ledger;
    EXPECT_EQ(CallMethod(&fake, member.c_str(), S25, kWide), E_INVALIDARG);
    EXPECT_EQ(ledger.Allocations(), 25);  // all converted before the refusal...
    EXPECT_EQ(ledger.Outstanding(), 0);   // ...and all released
  }
  EXPECT_EQ(fake.calls.size(), 1u);
  EXPECT_STREQ(Record().failedOperation, L"CreateArgumentArray");
}

TEST_F(Invocation, MemberStringOf511IsAcceptedAnd512Refused) {
  std::wstring member = L"M" + std::wstring(510, L' ');
  ASSERT_EQ(member.size(), 511u);
  EXPECT_EQ(CallMethod(&fake, member.c_str()), S_OK);
  member += L' ';
  fake.namesAsked.clear();
  EXPECT_EQ(CallMethod(&fake, member.c_str()), E_INVALIDARG);
  EXPECT_TRUE(fake.namesAsked.empty());
  EXPECT_STREQ(Record().failedOperation, L"InvokeV");
}

TEST_F(Invocation, NullArgumentsAreRefused) {
  LONG value;
  EXPECT_EQ(CallMethod(nullptr, L"M"), E_INVALIDARG);
  EXPECT_EQ(CallMethod(&fake, nullptr), E_INVALIDARG);
  EXPECT_EQ(CallMethodV(&fake, L"M", nullptr), E_INVALIDARG);
  EXPECT_EQ(GetValue(L"%d", nullptr, &fake, L"M"), E_INVALIDARG);
  EXPECT_EQ(GetValue(nullptr, &value, &fake, L"M"), E_INVALIDARG);
  EXPECT_EQ(InvokeArray(DISPATCH_METHOD, nullptr, 1, &fake, L"M", nullptr), E_INVALIDARG);
  EXPECT_TRUE(fake.calls.empty());
}

// ---- kinds and put -----------------------------------------------------------

TEST_F(Invocation, EachOperationUsesItsKindAndPutsNameTheValue) {
  fake.Add(L"Cells", 30);
  ASSERT_EQ(PutValue(&fake, L"Cells(%d, %d) = %e", 1, 2, 0.5), S_OK);
  ASSERT_EQ(PutRef(&fake, L"Cells(%d) = %o", 7, &other), S_OK);
  ASSERT_EQ(CallMethod(&fake, L"Cells(%d)", 1), S_OK);
  VARIANT result;
  ASSERT_EQ(Invoke(DISPATCH_PROPERTYGET, 0, &result, &fake, L"Cells"), S_OK);
  VARIANT any;
  ASSERT_EQ(GetValue(L"%v", &any, &fake, L"Cells"), S_OK);
  ASSERT_EQ(fake.calls.size(), 5u);

  const RecordedCall& put = fake.calls[0];
  EXPECT_EQ(put.kind, DISPATCH_PROPERTYPUT);
  ASSERT_EQ(put.args.size(), 3u);
  EXPECT_EQ(V_R8(&put.args[0].raw), 0.5);
  ExpectI4(put.args[1], 2);
  ExpectI4(put.args[2], 1);
  ASSERT_EQ(put.named.size(), 1u);
  EXPECT_EQ(put.named[0], DISPID_PROPERTYPUT);
  EXPECT_FALSE(put.wantsResult);

  const RecordedCall& putRef = fake.calls[1];
  EXPECT_EQ(putRef.kind, DISPATCH_PROPERTYPUTREF);
  ASSERT_EQ(putRef.args.size(), 2u);
  EXPECT_EQ(V_DISPATCH(&putRef.args[0].raw), &other);
  ASSERT_EQ(putRef.named.size(), 1u);
  EXPECT_EQ(putRef.named[0], DISPID_PROPERTYPUT);

  EXPECT_EQ(fake.calls[2].kind, DISPATCH_METHOD);
  EXPECT_TRUE(fake.calls[2].named.empty());
  EXPECT_EQ(fake.calls[3].kind, DISPATCH_PROPERTYGET);
  EXPECT_TRUE(fake.calls[3].wantsResult);
  EXPECT_EQ(fake.calls[4].kind, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
}

// ---- result specifiers -------------------------------------------------------

TEST_F(Invocation, EveryResultSpecifierStoresItsForm) {
  fake.Add(L"Int", 1, fakedispatch::ReturnsInt(-42));
  fake.Add(L"Big", 7, fakedispatch::ReturnsDouble(4000000000.0));
  fake.Add(L"True", 2, fakedispatch::ReturnsBool(true));
  fake.Add(L"Text", 3, fakedispatch::ReturnsString(L"12.5"));
  fake.Add(L"Date", 4, fakedispatch::ReturnsDate(25569.5));
  fake.Add(L"Obj", 5, fakedispatch::ReturnsObject(&other));
  fake.Add(L"NullObj", 6, fakedispatch::ReturnsNullObject());
  BstrLedger ledger;

  LONG i = 0;
  EXPECT_EQ(GetValue(L"%d", &i, &fake, L"Int"), S_OK);
  EXPECT_EQ(i, -42);
  i = 0;
  EXPECT_EQ(GetValue(L"d", &i, &fake, L"Int"), S_OK);  // "%" is optional
  EXPECT_EQ(i, -42);
  i = 0;
  EXPECT_EQ(GetValue(L"%p", &i, &fake, L"Int"), S_OK);
  EXPECT_EQ(i, -42);
  ULONG u = 0;
  EXPECT_EQ(GetValue(L"%u", &u, &fake, L"Big"), S_OK);
  EXPECT_EQ(u, 4000000000u);
  double e = 0;
  EXPECT_EQ(GetValue(L"%e", &e, &fake, L"Int"), S_OK);
  EXPECT_EQ(e, -42.0);
  LONG b = 0;
  EXPECT_EQ(GetValue(L"%b", &b, &fake, L"True"), S_OK);
  EXPECT_EQ(b, -1);
  VARIANT v;
  EXPECT_EQ(GetValue(L"%v", &v, &fake, L"Text"), S_OK);
  ASSERT_EQ(V_VT(&v), VT_BSTR);  // no coercion
  EXPECT_STREQ(V_BSTR(&v), L"12.5");
  VariantClear(&v);
  BSTR s = nullptr;
  EXPECT_EQ(GetValue(L"%B", &s, &fake, L"Int"), S_OK);
  EXPECT_STREQ(s, L"-42");
  SysFreeString(s);
  EXPECT_EQ(GetValue(L"%S", &s, &fake, L"Text"), S_OK);
  EXPECT_STREQ(s, L"12.5");
  SysFreeString(s);
  EXPECT_EQ(GetValue(L"%T", &s, &fake, L"Text"), S_OK);  // wide mode
  EXPECT_STREQ(s, L"12.5");
  SysFreeString(s);
  LPSTR a = nullptr;
  EXPECT_EQ(GetValue(L"%s", &a, &fake, L"Int"), S_OK);
  EXPECT_STREQ(a, "-42");
  SysFreeString(reinterpret_cast<BSTR>(a));
  InitializeAutomation(FALSE, FALSE);
  EXPECT_EQ(GetValue(L"%T", &a, &fake, L"Text"), S_OK);
  EXPECT_STREQ(a, "12.5");
  SysFreeString(reinterpret_cast<BSTR>(a));
  InitializeAutomation(FALSE, TRUE);
  IDispatch* o = nullptr;
  EXPECT_EQ(GetValue(L"%o", &o, &fake, L"Obj"), S_OK);
  EXPECT_EQ(o, &other);
  EXPECT_EQ(other.RefCount(), 2u);
  o->Release();
  o = &other;
  EXPECT_EQ(GetValue(L"%o", &o, &fake, L"NullObj"), E_NOINTERFACE);
  EXPECT_EQ(o, nullptr);
  IUnknown* unk = nullptr;
  EXPECT_EQ(GetValue(L"%O", &unk, &fake, L"Obj"), S_OK);
  EXPECT_EQ(unk, static_cast<IUnknown*>(&other));
  unk->Release();
  EXPECT_EQ(GetValue(L"%O", &unk, &fake, L"NullObj"), E_NOINTERFACE);
  DATE d = 0;
  EXPECT_EQ(GetValue(L"%D", &d, &fake, L"Date"), S_OK);
  EXPECT_EQ(d, 25569.5);
  SYSTEMTIME st = {};
  EXPECT_EQ(GetValue(L"%W", &st, &fake, L"Date"), S_OK);
  EXPECT_EQ(st.wYear, 1970);
  EXPECT_EQ(st.wHour, 12);
  FILETIME ft = {};
  EXPECT_EQ(GetValue(L"%f", &ft, &fake, L"Date"), S_OK);
  EXPECT_EQ((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime,
            116444736000000000ull + 432000000000ull);
  __int64 t = 0;
  EXPECT_EQ(GetValue(L"%t", &t, &fake, L"Date"), S_OK);
  EXPECT_EQ(t, 43200);
  EXPECT_EQ(GetValue(L"%t", &t, &fake, L"Int"), E_INVALIDARG);  // before 1970

  EXPECT_EQ(ledger.Outstanding(), 0);
}

TEST_F(Invocation, UnlistedResultSpecifiersFailWithoutACall) {
  const wchar_t* specs[] = {L"%m", L"m", L"%x", L"", L"%", L"%%d"};
  LONG value = 12345;
  for (const wchar_t* spec : specs) {
    EXPECT_EQ(GetValue(spec, &value, &fake, L"M"), E_INVALIDARG);
  }
  EXPECT_TRUE(fake.namesAsked.empty());
  EXPECT_EQ(value, 12345);
  EXPECT_STREQ(Record().failedOperation, L"GetValueV");
}

TEST_F(Invocation, FailedCoercionLeavesNothingToFree) {
  fake.Add(L"Text", 3, fakedispatch::ReturnsString(L"not a number"));
  fake.Add(L"Failing", 4, fakedispatch::Fails(E_ACCESSDENIED));
  BstrLedger ledger;
  LONG i = 7;
  EXPECT_EQ(GetValue(L"%d", &i, &fake, L"Text"), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(i, 7);
  EXPECT_STREQ(Record().failedOperation, L"InternalInvokeV");
  VARIANT v;
  EXPECT_EQ(Invoke(DISPATCH_PROPERTYGET, VT_I4, &v, &fake, L"Text"), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(V_VT(&v), VT_EMPTY);
  EXPECT_EQ(GetValue(L"%s", &i, &fake, L"Failing"), E_ACCESSDENIED);
  EXPECT_EQ(ledger.Outstanding(), 0);
}

TEST_F(Invocation, InvokeArrayPassesThePreparedArray) {
  VARIANT args[2];
  V_VT(&args[0]) = VT_I4;
  V_I4(&args[0]) = 2;  // the last argument
  V_VT(&args[1]) = VT_I4;
  V_I4(&args[1]) = 1;
  fake.Add(L"Sum", 3, fakedispatch::ReturnsInt(3));
  VARIANT result;
  ASSERT_EQ(InvokeArray(DISPATCH_METHOD, &result, 2, &fake, L"Sum", args), S_OK);
  EXPECT_EQ(V_I4(&result), 3);
  ASSERT_EQ(fake.calls.size(), 1u);
  ASSERT_EQ(fake.calls[0].args.size(), 2u);
  ExpectI4(fake.calls[0].args[0], 2);
  ExpectI4(fake.calls[0].args[1], 1);
}

}  // namespace
}  // namespace quillon
