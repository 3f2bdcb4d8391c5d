#include "registry/registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <string>

using testing_support::ScratchKey;

namespace {

DWORD sentinel = 0xDEADBEEF;

TEST(Registry, MissingKeyOrValueReadsNothingAndLeavesTheBuffer)
{
    ScratchKey scratch("registry-missing");
    DWORD value = sentinel;
    EXPECT_EQ(0, GetRegistryValue(HKEY_CURRENT_USER, scratch.path(), "absent", &value, 4));
    EXPECT_EQ(sentinel, value);

    DWORD one = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, scratch.path(), "present", REG_DWORD, &one, 4));
    EXPECT_EQ(0, GetRegistryValue(HKEY_CURRENT_USER, scratch.path(), "absent", &value, 4));
    EXPECT_EQ(sentinel, value);
}

TEST(Registry, WriteCreatesTheWholePathAndReadsBack)
{
    ScratchKey scratch("registry-path");
    std::string deep = std::string(scratch.path()) + "\\a\\b\\c";
    DWORD written = 0x12345678;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, deep.c_str(), "start_mode", REG_DWORD, &written, 4));
    DWORD read = sentinel;
    ASSERT_EQ(1, GetRegistryValue(HKEY_CURRENT_USER, deep.c_str(), "start_mode", &read, 4));
    EXPECT_EQ(written, read);
}

TEST(Registry, ValueLongerThanTheBufferFailsAndShorterFillsOnlyItsBytes)
{
    ScratchKey scratch("registry-sizes");
    ULONGLONG eight = 0x1122334455667788ULL;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, scratch.path(), "long", REG_QWORD, &eight, 8));
    DWORD value = sentinel;
    EXPECT_EQ(0, GetRegistryValue(HKEY_CURRENT_USER, scratch.path(), "long", &value, 4));

    // A string "1" is read as raw bytes: the character code and its NUL, nothing else.
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, scratch.path(), "text", REG_SZ, "1", 2));
    value = 0xAAAAAAAA;
    EXPECT_EQ(1, GetRegistryValue(HKEY_CURRENT_USER, scratch.path(), "text", &value, 4));
    EXPECT_EQ(0xAAAA0031u, value);
}

TEST(Registry, TypedReadTakesOnlyTheTypeAndSizeAskedFor)
{
    ScratchKey scratch("registry-typed");
    const char* key = scratch.path();
    DWORD value = sentinel;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "text_zero", REG_SZ, "0", 2));
    EXPECT_EQ(0, get_registry_typed(HKEY_CURRENT_USER, key, "text_zero", REG_DWORD, &value, 4)) << "\"0\" as a number";
    WORD two = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "short", REG_DWORD, &two, 2));
    EXPECT_EQ(0, get_registry_typed(HKEY_CURRENT_USER, key, "short", REG_DWORD, &value, 4));
    EXPECT_EQ(sentinel, value);
    DWORD one = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "number", REG_DWORD, &one, 4));
    EXPECT_EQ(1, get_registry_typed(HKEY_CURRENT_USER, key, "number", REG_DWORD, &value, 4));
    EXPECT_EQ(1u, value);

    char text[8];
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "long", REG_SZ, "0123456789", 11));
    EXPECT_EQ(0, get_registry_typed(HKEY_CURRENT_USER, key, "long", REG_SZ, text, sizeof text)) << "cut to fit";
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "unended", REG_SZ, "abc", 3));
    ASSERT_EQ(1, get_registry_typed(HKEY_CURRENT_USER, key, "unended", REG_SZ, text, sizeof text));
    EXPECT_STREQ("abc", text);
    EXPECT_EQ(0, get_registry_typed(HKEY_CURRENT_USER, key, "number", REG_SZ, text, sizeof text));

    ULONGLONG when = 0x0123456789ABCDEFull, read = 0;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "time", REG_QWORD, &when, 8));
    EXPECT_EQ(1, get_registry_typed(HKEY_CURRENT_USER, key, "time", REG_QWORD, &read, 8));
    EXPECT_EQ(when, read);
    read = 0;
    EXPECT_EQ(0, get_registry_typed(HKEY_CURRENT_USER, key, "number", REG_QWORD, &read, 8)) << "a DWORD as a QWORD";
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, key, "short_time", REG_QWORD, &one, 4));
    EXPECT_EQ(0, get_registry_typed(HKEY_CURRENT_USER, key, "short_time", REG_QWORD, &read, 8));
    EXPECT_EQ(0u, read);
}

TEST(Registry, DeleteRemovesOnlyALeafKeyThatExists)
{
    ScratchKey scratch("registry-delete");
    std::string leaf = std::string(scratch.path()) + "\\7";
    std::string parent = std::string(scratch.path()) + "\\8";
    std::string child = parent + "\\inner";
    DWORD one = 1;
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, leaf.c_str(), "v", REG_DWORD, &one, 4));
    ASSERT_EQ(1, set_registry_value(HKEY_CURRENT_USER, child.c_str(), "v", REG_DWORD, &one, 4));

    EXPECT_EQ(1, DeleteRegistry(HKEY_CURRENT_USER, scratch.path(), "7"));
    EXPECT_EQ(0, DeleteRegistry(HKEY_CURRENT_USER, scratch.path(), "7"));
    EXPECT_EQ(0, DeleteRegistry(HKEY_CURRENT_USER, scratch.path(), "8"));
    DWORD value = 0;
    EXPECT_EQ(1, GetRegistryValue(HKEY_CURRENT_USER, child.c_str(), "v", &value, 4));
    EXPECT_EQ(0, DeleteRegistry(HKEY_CURRENT_USER, "Software\\tickmend-tests\\no-such-parent", "7"));
}

} // namespace
