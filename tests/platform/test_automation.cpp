// Automation strings (length prefix, terminator, byte-length form) and array descriptors
// (allocation, zeroed data, lock counting and the results for misuse).
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

UINT PrefixOf(BSTR text) {
  UINT prefix;
  memcpy(&prefix, reinterpret_cast<const char *>(text) - 4, 4);
  return prefix;
}

TEST(Bstr, ByteLengthFormHoldsBytesAndTerminators) {
  BSTR text = SysAllocStringByteLen("abcde", 5);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(5u, SysStringByteLen(text));
  EXPECT_EQ(2u, SysStringLen(text));
  EXPECT_EQ(5u, PrefixOf(text));
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
  EXPECT_EQ(0, memcmp(bytes, "abcde", 5));
  EXPECT_EQ(0, bytes[5]);
  EXPECT_EQ(0, bytes[6]);
  SysFreeString(text);

  // A null source leaves room of that size, zero-filled, to be written by the caller.
  text = SysAllocStringByteLen(nullptr, 6);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(6u, SysStringByteLen(text));
  const char zeros[8] = {0};
  EXPECT_EQ(0, memcmp(text, zeros, 8));
  SysFreeString(text);

  text = SysAllocStringByteLen("", 0);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(0u, SysStringLen(text));
  SysFreeString(text);
}

TEST(Bstr, CharacterForms) {
  const OLECHAR source[] = {u'A', u'\u3042', 0};
  BSTR text = SysAllocString(source);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(2u, SysStringLen(text));
  EXPECT_EQ(4u, SysStringByteLen(text));
  EXPECT_EQ(u'\u3042', text[1]);
  EXPECT_EQ(0, text[2]);
  SysFreeString(text);

  text = SysAllocStringLen(source, 1);
  EXPECT_EQ(1u, SysStringLen(text));
  EXPECT_EQ(0, text[1]);
  SysFreeString(text);

  text = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(3u, SysStringLen(text));
  EXPECT_EQ(0, text[0] | text[1] | text[2] | text[3]);
  SysFreeString(text);

  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  EXPECT_EQ(0u, SysStringLen(nullptr));
  EXPECT_EQ(0u, SysStringByteLen(nullptr));
  SysFreeString(nullptr);
}

TEST(SafeArray, DescriptorAndData) {
  SAFEARRAY *array = nullptr;
  EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptor(0, &array));
  EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptor(65536, &array));
  EXPECT_EQ(E_POINTER, SafeArrayAllocDescriptor(1, nullptr));
  ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(2, &array));
  EXPECT_EQ(2, array->cDims);
  EXPECT_EQ(0u, array->cLocks);
  EXPECT_EQ(nullptr, array->pvData);

  array->cbElements = 8;
  array->rgsabound[0].cElements = 3;
  array->rgsabound[1].cElements = 2;
  ASSERT_EQ(S_OK, SafeArrayAllocData(array));
  ASSERT_NE(nullptr, array->pvData);
  const unsigned char *data = static_cast<const unsigned char *>(array->pvData);
  for (int i = 0; i < 48; ++i) EXPECT_EQ(0, data[i]) << i;
  EXPECT_EQ(E_INVALIDARG, SafeArrayAllocData(nullptr));

  EXPECT_EQ(S_OK, SafeArrayDestroyData(array));
  EXPECT_EQ(nullptr, array->pvData);
  EXPECT_EQ(S_OK, SafeArrayDestroyData(array));
  EXPECT_EQ(E_INVALIDARG, SafeArrayDestroyData(nullptr));
  EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(array));
  EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(nullptr));
}

TEST(SafeArray, LockCounting) {
  SAFEARRAY *array = nullptr;
  ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(1, &array));
  array->cbElements = 16;
  array->rgsabound[0].cElements = 4;
  ASSERT_EQ(S_OK, SafeArrayAllocData(array));

  EXPECT_EQ(E_INVALIDARG, SafeArrayLock(nullptr));
  EXPECT_EQ(E_INVALIDARG, SafeArrayUnlock(nullptr));
  EXPECT_EQ(E_UNEXPECTED, SafeArrayUnlock(array));
  EXPECT_EQ(0u, array->cLocks);

  ASSERT_EQ(S_OK, SafeArrayLock(array));
  EXPECT_EQ(1u, array->cLocks);
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroyData(array));
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroyDescriptor(array));
  EXPECT_NE(nullptr, array->pvData);

  // At most 65535 locks at a time.
  int locks = 1;
  HRESULT hr = S_OK;
  while (locks < 70000 && (hr = SafeArrayLock(array)) == S_OK) ++locks;
  EXPECT_EQ(65535, locks);
  EXPECT_EQ(E_UNEXPECTED, hr);
  EXPECT_EQ(65535u, array->cLocks);
  int unlocks = 0;
  while (unlocks < 70000 && SafeArrayUnlock(array) == S_OK) ++unlocks;
  EXPECT_EQ(65535, unlocks);
  EXPECT_EQ(0u, array->cLocks);

  EXPECT_EQ(S_OK, SafeArrayDestroyData(array));
  EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(array));
}

}  // namespace
