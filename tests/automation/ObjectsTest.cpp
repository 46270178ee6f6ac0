// Object creation, binding and enumeration: the test collection, and the real
// automation servers that Wine ships (Scripting.Dictionary, WMI).

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeDispatch.h"
#include "automation/Automation.h"

namespace quillon {
namespace {

using fakedispatch::FakeCollection;
using fakedispatch::FakeDispatch;

VARIANT Int(LONG v) {
  VARIANT x;
  V_VT(&x) = VT_I4;
  V_I4(&x) = v;
  return x;
}

VARIANT Object(IDispatch* o) {
  VARIANT x;
  V_VT(&x) = VT_DISPATCH;
  V_DISPATCH(&x) = o;
  o->AddRef();
  return x;
}

class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseThreadState();
    ErrorOptions none = {};
    SetErrorOptions(&none);
    ASSERT_GE(InitializeAutomation(TRUE, TRUE), 0);
  }
  void TearDown() override { UninitializeAutomation(TRUE); }
  ErrorRecord* Record() {
    ErrorRecord* record = nullptr;
    GetErrorRecord(&record);
    return record;
  }
  std::wstring Report() {
    WCHAR text[1024];
    FormatErrorText(nullptr, text, 1024, TRUE);
    return text;
  }
};

TEST_F(Objects, EnumeratesObjectsOfACollectionAndStopsWithFalse) {
  FakeDispatch a, b;
  {
    FakeCollection items({Object(&a), Object(&b)});
    IEnumVARIANT* e = nullptr;
    ASSERT_EQ(EnumBegin(&e, &items, nullptr), S_OK);
    IDispatch* item = nullptr;
    ASSERT_EQ(EnumNextObject(e, &item), S_OK);
    EXPECT_EQ(item, &a);
    item->Release();
    ASSERT_EQ(EnumNextObject(e, &item), S_OK);
    EXPECT_EQ(item, &b);
    item->Release();
    item = reinterpret_cast<IDispatch*>(0x1);
    EXPECT_EQ(EnumNextObject(e, &item), S_FALSE);
    EXPECT_EQ(item, reinterpret_cast<IDispatch*>(0x1));  // untouched
    EXPECT_EQ(Record(), nullptr);                        // S_FALSE is not a failure
    e->Release();
    EXPECT_EQ(items.RefCount(), 1u);
  }
  EXPECT_EQ(a.RefCount(), 1u);
  EXPECT_EQ(b.RefCount(), 1u);
}

TEST_F(Objects, EnumBeginFetchesTheCollectionThroughTheMemberString) {
  FakeCollection items({Int(7)});
  FakeDispatch owner;
  owner.Add(L"Items", 3, fakedispatch::ReturnsObject(&items));
  owner.Add(L"Nothing", 4, fakedispatch::ReturnsNullObject());
  IEnumVARIANT* e = nullptr;
  ASSERT_EQ(EnumBegin(&e, &owner, L".Items(%d)", 2), S_OK);
  ASSERT_EQ(owner.calls.size(), 1u);
  EXPECT_EQ(V_I4(&owner.calls[0].args[0].raw), 2);
  EXPECT_EQ(items.RefCount(), 1u);  // the fetched collection was released
  VARIANT v;
  ASSERT_EQ(EnumNextVariant(e, &v), S_OK);
  EXPECT_EQ(V_I4(&v), 7);
  EXPECT_EQ(EnumNextVariant(e, &v), S_FALSE);
  e->Release();

  EXPECT_EQ(EnumBegin(&e, &owner, L"Nothing"), E_NOINTERFACE);
  EXPECT_NE(Report().find(L"Error:    Object required"), std::wstring::npos);
  EXPECT_STREQ(Record()->outerOperation, L"EnumBegin");
  EXPECT_EQ(owner.RefCount(), 1u);
}

TEST_F(Objects, EmptyCollectionAndNonObjectItems) {
  FakeCollection empty({});
  IEnumVARIANT* e = nullptr;
  ASSERT_EQ(EnumBegin(&e, &empty, nullptr), S_OK);
  IDispatch* item = nullptr;
  EXPECT_EQ(EnumNextObject(e, &item), S_FALSE);
  e->Release();

  FakeCollection numbers({Int(5)});
  ASSERT_EQ(EnumBegin(&e, &numbers, nullptr), S_OK);
  EXPECT_EQ(EnumNextObject(e, &item), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(item, nullptr);
  EXPECT_STREQ(Record()->failedOperation, L"EnumNextObject");
  EXPECT_STREQ(Record()->memberText, L"Enumerator");
  e->Release();

  EXPECT_EQ(EnumNextObject(nullptr, &item), E_INVALIDARG);
  EXPECT_EQ(EnumNextVariant(nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(EnumBegin(nullptr, &empty, nullptr), E_INVALIDARG);
}

TEST_F(Objects, ObjectWithoutEnumeratorNamesNewEnum) {
  FakeDispatch plain;
  IEnumVARIANT* e = nullptr;
  EXPECT_EQ(EnumBegin(&e, &plain, nullptr), DISP_E_MEMBERNOTFOUND);
  ErrorRecord* r = Record();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->itemName, L"_NewEnum");
  EXPECT_STREQ(r->failedOperation, L"EnumBeginV");
  EXPECT_TRUE(r->dispatchFailure);
  EXPECT_NE(Report().find(L"Error:    Object doesn't support this property or method: '_NewEnum'"),
            std::wstring::npos);
  EXPECT_EQ(plain.RefCount(), 1u);
}

TEST_F(Objects, CreationAndBindingRefuseBadArguments) {
  IDispatch* o = nullptr;
  EXPECT_EQ(GetObject(nullptr, nullptr, &o), E_INVALIDARG);
  EXPECT_STREQ(Record()->outerOperation, L"GetObject");
  EXPECT_STREQ(Record()->failedOperation, L"GetObjectEx");
  int reserved;
  EXPECT_EQ(GetObjectEx(L"x", nullptr, &IID_IDispatch, 5, &reserved, reinterpret_cast<void**>(&o)),
            E_INVALIDARG);
  EXPECT_EQ(CreateObject(nullptr, nullptr, &o), E_INVALIDARG);
  EXPECT_EQ(CreateObject(L"Quillon.NoSuchClass", nullptr, &o), CO_E_CLASSSTRING);
  EXPECT_STREQ(Record()->memberText, L"Quillon.NoSuchClass");
  EXPECT_STREQ(Record()->failedOperation, L"CreateObjectEx");
  // A CLSID string goes to the CLSID parser: a malformed one fails there.
  EXPECT_EQ(CreateObject(L"{not a clsid}", nullptr, &o), CO_E_CLASSSTRING);
  // Nothing runs under this class.
  EXPECT_LT(GetObject(nullptr, L"Scripting.Dictionary", &o), 0);
}

// Scripting.Dictionary from Wine's scrrun, by ProgID and by CLSID string.
TEST_F(Objects, ScriptingDictionaryThroughMemberStrings) {
  const wchar_t* names[] = {L"Scripting.Dictionary", L"{EE09B103-97E0-11CF-978F-00A02463E06F}"};
  for (const wchar_t* name : names) {
    SCOPED_TRACE(testing::Message() << std::string(name, name + wcslen(name)));
    IDispatch* dict = nullptr;
    ASSERT_EQ(CreateObject(name, nullptr, &dict), S_OK) << Report().c_str();
    EXPECT_EQ(CallMethod(dict, L".Add(%S, %d)", L"one", 1), S_OK);
    EXPECT_EQ(CallMethod(dict, L".Add(%s, %e)", "two", 2.5), S_OK);
    EXPECT_EQ(PutValue(dict, L".Item(%S) = %S", L"three", L"drei"), S_OK);
    LONG count = 0;
    EXPECT_EQ(GetValue(L"%d", &count, dict, L".Count"), S_OK);
    EXPECT_EQ(count, 3);
    LONG exists = 0;
    EXPECT_EQ(GetValue(L"%b", &exists, dict, L".Exists(%S)", L"two"), S_OK);
    EXPECT_EQ(exists, -1);
    EXPECT_EQ(GetValue(L"%b", &exists, dict, L".Exists(%S)", L"four"), S_OK);
    EXPECT_EQ(exists, 0);
    double two = 0;
    EXPECT_EQ(GetValue(L"%e", &two, dict, L".Item(%S)", L"two"), S_OK);
    EXPECT_EQ(two, 2.5);
    LPSTR three = nullptr;
    EXPECT_EQ(GetValue(L"%s", &three, dict, L".Item(%S)", L"three"), S_OK);
    EXPECT_STREQ(three, "drei");
    SysFreeString(reinterpret_cast<BSTR>(three));

    // A duplicate key is the server's exception.
    EXPECT_LT(CallMethod(dict, L".Add(%S, %d)", L"one", 9), 0);
    EXPECT_STREQ(Record()->outerOperation, L"CallMethod");
    EXPECT_STREQ(Record()->failedOperation, L"InvokeArray");
    EXPECT_STREQ(Record()->itemName, L"Add");

    // The keys, in insertion order.
    IEnumVARIANT* e = nullptr;
    ASSERT_EQ(EnumBegin(&e, dict, nullptr), S_OK) << Report().c_str();
    std::vector<std::wstring> keys;
    VARIANT key;
    while (EnumNextVariant(e, &key) == S_OK) {
      if (V_VT(&key) == VT_BSTR) keys.push_back(V_BSTR(&key));
      VariantClear(&key);
    }
    e->Release();
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"one", L"two", L"three"}));
    EXPECT_EQ(dict->Release(), 0u);
  }
}

}  // namespace
}  // namespace quillon
