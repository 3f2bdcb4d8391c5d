// set_registry_dword stores a REG_DWORD of four bytes and nothing else; any other type goes
// through set_registry_value.
#include "registry/registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

using testing_support::ScratchKey;

namespace {

// The type and size the registry holds for name, as RegQueryValueEx tells them.
bool stored_as(const char* key_path, const char* name, DWORD* type, DWORD* size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    *size = 0;
    const bool read = RegQueryValueExA(key, name, nullptr, type, nullptr, size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return read;
}

TEST(RegistryDword, IsStoredAsADwordOfFourBytesWhateverItsValue)
{
    ScratchKey scratch("registry-dword");
    for (DWORD value : {0ul, 1ul, 0xFFFFFFFFul}) {
        SCOPED_TRACE(value);
        ASSERT_EQ(1, set_registry_dword(HKEY_CURRENT_USER, scratch.path(), "start_mode", value));
        DWORD type = REG_NONE, size = 0;
        ASSERT_TRUE(stored_as(scratch.path(), "start_mode", &type, &size));
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
        EXPECT_EQ(4u, size);
        DWORD read = 0xDEADBEEF;
        ASSERT_EQ(1, get_registry_typed(HKEY_CURRENT_USER, scratch.path(), "start_mode", REG_DWORD, &read, 4));
        EXPECT_EQ(value, read);
    }
}

TEST(RegistryDword, ReplacesAValueOfAnotherTypeWithADword)
{
    ScratchKey scratch("registry-dword-over-text");
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, scratch.path(), "start_mode", REG_SZ, "1", 2));
    ASSERT_EQ(1, set_registry_dword(HKEY_CURRENT_USER, scratch.path(), "start_mode", 1));
    DWORD type = REG_NONE, size = 0;
    ASSERT_TRUE(stored_as(scratch.path(), "start_mode", &type, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(4u, size);
}

} // namespace
