#include "base/win32.h"
#include <objbase.h>

#include "registry/registry.h"

#include "base/exception.h"

#include "tools/testing/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::wstring newGuid() {
    GUID guid{};
    EXPECT_EQ(S_OK, ::CoCreateGuid(&guid));
    wchar_t text[64] = {};
    EXPECT_GT(::StringFromGUID2(guid, text, 64), 0);
    return text;
}

std::wstring windowsDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(buffer, MAX_PATH);
    EXPECT_GT(length, 0u);
    return std::wstring(buffer, length);
}

void expectLocation(const vexception& e, const char* function, int32_t line) {
    ASSERT_EQ(1u, e.locations().size());
    EXPECT_EQ(L"", e.locations()[0].message);
    EXPECT_EQ(function, e.locations()[0].function);
    EXPECT_EQ(line, e.locations()[0].line);
}

// Runs work, which must throw a plain vexception (not an OS-error one), and checks what it says.
template <typename F> void expectValueError(F&& work, const std::wstring& message, int32_t line) {
    try {
        work();
        ADD_FAILURE() << "no exception";
    } catch (const vosexception& e) {
        ADD_FAILURE() << "OS-error exception, code " << e.code();
    } catch (const vexception& e) {
        EXPECT_EQ(message, e.message());
        expectLocation(e, "registry::lookup", line);
    }
}

struct RawValue {
    LONG code = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Plain-value tests in a fresh key under HKCU, which is not redirected between views.
class RegistryValues : public ::testing::Test {
protected:
    void SetUp() override {
        temp_ = std::make_unique<zra_testing::TempKey>(KEY_WOW64_32KEY, HKEY_CURRENT_USER);
        subKey_ = temp_->path();
    }
    void TearDown() override {
        temp_.reset();
        EXPECT_FALSE(zra_testing::keyExists(HKEY_CURRENT_USER, subKey_, KEY_WOW64_32KEY));
    }

    void write(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(temp_->handle(), name, 0, type,
                                                  static_cast<const BYTE*>(data), size));
    }
    // Text stored with (or, with terminate false, without) its NUL.
    void writeText(const wchar_t* name, DWORD type, const std::wstring& text,
                   bool terminate = true) {
        write(name, type, text.c_str(),
              static_cast<DWORD>((text.size() + (terminate ? 1 : 0)) * sizeof(wchar_t)));
    }
    RawValue read(const wchar_t* name) {
        RawValue raw;
        raw.data.resize(256);
        DWORD size = static_cast<DWORD>(raw.data.size());
        raw.code =
            ::RegQueryValueExW(temp_->handle(), name, nullptr, &raw.type, raw.data.data(), &size);
        raw.data.resize(raw.code == ERROR_SUCCESS ? size : 0);
        return raw;
    }

    std::unique_ptr<zra_testing::TempKey> temp_;
    std::wstring subKey_;
};

TEST_F(RegistryValues, DwordLookupAcceptsOnlyFourByteDwords) {
    const DWORD answer = 0x12345678;
    write(L"dword", REG_DWORD, &answer, 4);
    DWORD out = 0;
    EXPECT_EQ(0, registry::lookup(HKEY_CURRENT_USER, subKey_, L"dword", out, registry::View32));
    EXPECT_EQ(answer, out);

    // A short string fits the four-byte buffer, so its type is what gives it away.
    writeText(L"short", REG_SZ, L"7");
    out = 99;
    expectValueError(
        [&] { registry::lookup(HKEY_CURRENT_USER, subKey_, L"short", out, registry::View32); },
        L"RegQueryValueEx invalid type of '" + subKey_ + L"\\short'", 355);
    EXPECT_EQ(99u, out);

    const BYTE binary[4] = {1, 2, 3, 4};
    write(L"binary", REG_BINARY, binary, 4);
    expectValueError(
        [&] { registry::lookup(HKEY_CURRENT_USER, subKey_, L"binary", out, registry::View32); },
        L"RegQueryValueEx invalid type of '" + subKey_ + L"\\binary'", 355);

    const WORD half = 7;
    write(L"half", REG_DWORD, &half, 2);
    expectValueError(
        [&] { registry::lookup(HKEY_CURRENT_USER, subKey_, L"half", out, registry::View32); },
        L"RegQueryValueEx invalid size of '" + subKey_ + L"\\half'", 357);
    EXPECT_EQ(99u, out);
}

TEST_F(RegistryValues, DwordLookupReturnsCodesForLargeOrMissingValues) {
    writeText(L"long", REG_SZ, L"longer than four bytes");
    const ULONGLONG quad = 0x0102030405060708ull;
    write(L"quad", REG_QWORD, &quad, 8);

    DWORD out = 42;
    EXPECT_EQ(ERROR_MORE_DATA,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"long", out, registry::View32));
    EXPECT_EQ(ERROR_MORE_DATA,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"quad", out, registry::View64));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"missing", out, registry::View32));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry::lookup(HKEY_CURRENT_USER, subKey_ + L"\\nokey",
                                                     L"dword", out, registry::View32));
    EXPECT_EQ(42u, out);
}

TEST_F(RegistryValues, StringLookupReadsTerminatedTextUpToFirstNul) {
    writeText(L"path", REG_SZ, L"C:\\Panel");
    const wchar_t embedded[] = L"abc\0def";
    write(L"embedded", REG_SZ, embedded, sizeof(embedded));
    write(L"empty", REG_SZ, L"", 0);

    std::wstring out;
    EXPECT_EQ(0,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"path", out, REG_SZ, registry::View32));
    EXPECT_EQ(L"C:\\Panel", out);
    EXPECT_EQ(0, registry::lookup(HKEY_CURRENT_USER, subKey_, L"embedded", out, REG_SZ,
                                  registry::View32));
    EXPECT_EQ(L"abc", out);
    EXPECT_EQ(
        0, registry::lookup(HKEY_CURRENT_USER, subKey_, L"empty", out, REG_SZ, registry::View32));
    EXPECT_EQ(L"", out);
}

// Other writers store REG_SZ data without the NUL; no character may be lost to the terminator.
TEST_F(RegistryValues, StringLookupKeepsLastCharacterOfUnterminatedText) {
    // The only value of its key, so the buffer is sized from exactly this data.
    writeText(L"path", REG_SZ, L"C:\\Panel", false);
    std::wstring out;
    EXPECT_EQ(0,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"path", out, REG_SZ, registry::View32));
    EXPECT_EQ(L"C:\\Panel", out);
    EXPECT_EQ(L"C:\\Panel",
              registry::getstr(HKEY_CURRENT_USER, subKey_, L"path", registry::View32));

    // An odd byte count: the high byte of the last unit is missing and reads as zero.
    write(L"odd", REG_SZ, L"Panel", 9);
    EXPECT_EQ(0,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"odd", out, REG_SZ, registry::View32));
    EXPECT_EQ(L"Panel", out);
    write(L"one", REG_SZ, L"X", 1);
    EXPECT_EQ(0,
              registry::lookup(HKEY_CURRENT_USER, subKey_, L"one", out, REG_SZ, registry::View32));
    EXPECT_EQ(L"X", out);

    registry::Key key(HKEY_CURRENT_USER, subKey_, KEY_QUERY_VALUE, true);
    EXPECT_EQ(0, key.lookup(L"path", out));
    EXPECT_EQ(L"C:\\Panel", out);
}

TEST_F(RegistryValues, StringLookupExpandsExpandSzAndMixesTheTwoStringTypes) {
    writeText(L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\notepad.exe");
    writeText(L"plain", REG_SZ, L"%SystemRoot%\\notepad.exe");

    std::wstring out;
    EXPECT_EQ(
        0, registry::lookup(HKEY_CURRENT_USER, subKey_, L"expand", out, REG_SZ, registry::View32));
    EXPECT_EQ(windowsDirectory() + L"\\notepad.exe", out);
    EXPECT_EQ(windowsDirectory() + L"\\notepad.exe",
              registry::getstr(HKEY_CURRENT_USER, subKey_, L"expand", registry::View32));

    // Only the stored type decides expansion, not the type asked for.
    EXPECT_EQ(0, registry::lookup(HKEY_CURRENT_USER, subKey_, L"plain", out, REG_EXPAND_SZ,
                                  registry::View32));
    EXPECT_EQ(L"%SystemRoot%\\notepad.exe", out);
}

TEST_F(RegistryValues, StringLookupFailuresLeaveOutUnchanged) {
    const DWORD number = 5;
    write(L"number", REG_DWORD, &number, 4);
    writeText(L"multi", REG_MULTI_SZ, L"a");

    std::wstring out = L"default";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry::lookup(HKEY_CURRENT_USER, subKey_, L"missing", out,
                                                     REG_SZ, registry::View32));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry::lookup(HKEY_CURRENT_USER, subKey_ + L"\\nokey",
                                                     L"number", out, REG_SZ, registry::View32));
    expectValueError(
        [&] {
            registry::lookup(HKEY_CURRENT_USER, subKey_, L"number", out, REG_SZ, registry::View32);
        },
        L"RegQueryValueEx invalid type of '" + subKey_ + L"\\number'", 479);
    expectValueError(
        [&] {
            registry::lookup(HKEY_CURRENT_USER, subKey_, L"multi", out, REG_SZ, registry::View32);
        },
        L"RegQueryValueEx invalid type of '" + subKey_ + L"\\multi'", 479);
    EXPECT_EQ(L"default", out);

    // The type asked for is accepted as such.
    EXPECT_EQ(0, registry::lookup(HKEY_CURRENT_USER, subKey_, L"multi", out, REG_MULTI_SZ,
                                  registry::View32));
    EXPECT_EQ(L"a", out);
}

TEST_F(RegistryValues, GetstrThrowsOsErrorForMissingValueOrKey) {
    writeText(L"text", REG_SZ, L"value");
    EXPECT_EQ(L"value", registry::getstr(HKEY_CURRENT_USER, subKey_, L"text", registry::View32));

    const std::pair<std::wstring, std::wstring> missing[] = {{subKey_, L"absent"},
                                                             {subKey_ + L"\\nokey", L"text"}};
    for (const auto& item : missing) {
        try {
            registry::getstr(HKEY_CURRENT_USER, item.first, item.second, registry::View32);
            ADD_FAILURE() << "no exception";
        } catch (const VFileNotFoundException& e) {
            const std::wstring context = L"lookup subKey=" + item.first + L" value=" + item.second;
            EXPECT_EQ(2u, e.code());
            EXPECT_EQ(osErrorMessage(2, &context), e.message());
            expectLocation(e, "registry::getstr", 680);
        }
    }

    const DWORD number = 1;
    write(L"number", REG_DWORD, &number, 4);
    expectValueError([&] { registry::getstr(HKEY_CURRENT_USER, subKey_, L"number", 0); },
                     L"RegQueryValueEx invalid type of '" + subKey_ + L"\\number'", 479);
}

TEST_F(RegistryValues, KeyOpenOnlyThrowsOnMissingKeyAndCreateModeCreatesIt) {
    const std::wstring child = subKey_ + L"\\child";
    try {
        registry::Key key(HKEY_CURRENT_USER, child, KEY_QUERY_VALUE, true);
        ADD_FAILURE() << "no exception";
    } catch (const VFileNotFoundException& e) {
        const std::wstring context = L"RegOpenKeyEx subKey=" + child;
        EXPECT_EQ(osErrorMessage(2, &context), e.message());
        expectLocation(e, "registry::open", 60);
    }
    EXPECT_FALSE(registry::keyExists(HKEY_CURRENT_USER, child, registry::ViewDefault));

    {
        registry::Key key(HKEY_CURRENT_USER, child, KEY_QUERY_VALUE | KEY_SET_VALUE, false);
        EXPECT_NE(nullptr, key.handle());
        key.close();
        EXPECT_EQ(nullptr, key.handle());
        key.close();
    }
    EXPECT_TRUE(registry::keyExists(HKEY_CURRENT_USER, child, registry::ViewDefault));
    // Opening what exists works in both modes.
    registry::Key opened(HKEY_CURRENT_USER, child, KEY_QUERY_VALUE, true);
    EXPECT_NE(nullptr, opened.handle());
}

TEST_F(RegistryValues, KeyCreateFailureNamesCreate) {
    // A handle value no key ever has: the system refuses it.
    const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7FFFFFF0));
    try {
        registry::Key key(bogus, L"child", KEY_QUERY_VALUE, false);
        ADD_FAILURE() << "no exception";
    } catch (const vosexception& e) {
        const std::wstring context = L"RegCreateKeyEx subKey=child";
        EXPECT_NE(0u, e.code());
        EXPECT_EQ(osErrorMessage(e.code(), &context), e.message());
        expectLocation(e, "registry::create", 53);
    }
}

TEST_F(RegistryValues, KeySetStoresTerminatedTextAndDwords) {
    registry::Key key(HKEY_CURRENT_USER, subKey_, KEY_SET_VALUE | KEY_QUERY_VALUE, false);
    key.set(L"text", L"C:\\Panel");
    key.set(L"empty", L"");
    key.set(L"number", DWORD{0xCAFEBABE});

    RawValue raw = read(L"text");
    ASSERT_EQ(ERROR_SUCCESS, raw.code);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw.type);
    ASSERT_EQ((8u + 1) * 2, raw.data.size());
    EXPECT_EQ(0, std::memcmp(L"C:\\Panel", raw.data.data(), raw.data.size()));

    raw = read(L"empty");
    ASSERT_EQ(ERROR_SUCCESS, raw.code);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw.type);
    ASSERT_EQ(2u, raw.data.size());
    EXPECT_EQ(0, raw.data[0] | raw.data[1]);

    raw = read(L"number");
    ASSERT_EQ(ERROR_SUCCESS, raw.code);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), raw.type);
    ASSERT_EQ(4u, raw.data.size());
    DWORD stored = 0;
    std::memcpy(&stored, raw.data.data(), 4);
    EXPECT_EQ(0xCAFEBABEu, stored);

    // Reading back through the key object itself.
    std::wstring text;
    DWORD number = 0;
    EXPECT_EQ(0, key.lookup(L"text", text));
    EXPECT_EQ(L"C:\\Panel", text);
    EXPECT_EQ(0, key.lookup(L"number", number));
    EXPECT_EQ(0xCAFEBABEu, number);
}

TEST_F(RegistryValues, KeySetFailuresNameTheValue) {
    registry::Key key(HKEY_CURRENT_USER, subKey_, KEY_QUERY_VALUE, true);
    const std::wstring context = L"RegSetValueEx valueName=v";
    try {
        key.set(L"v", L"text");
        ADD_FAILURE() << "no exception";
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(5u, e.code());
        EXPECT_EQ(osErrorMessage(5, &context), e.message());
        expectLocation(e, "registry::set", 197);
    }
    try {
        key.set(L"v", DWORD{1});
        ADD_FAILURE() << "no exception";
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(5u, e.code());
        EXPECT_EQ(osErrorMessage(5, &context), e.message());
        expectLocation(e, "registry::set", 190);
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read(L"v").code);
}

TEST_F(RegistryValues, KeyLookupTypeErrorsNameTheValueOnly) {
    writeText(L"short", REG_SZ, L"7");
    writeText(L"long", REG_SZ, L"longer than four bytes");
    const WORD half = 7;
    write(L"half", REG_DWORD, &half, 2);
    const DWORD number = 3;
    write(L"number", REG_DWORD, &number, 4);
    writeText(L"multi", REG_MULTI_SZ, L"a");
    writeText(L"expand", REG_EXPAND_SZ, L"%SystemRoot%");

    registry::Key key(HKEY_CURRENT_USER, subKey_, KEY_QUERY_VALUE, true);
    DWORD out = 11;
    expectValueError([&] { key.lookup(L"short", out); }, L"RegQueryValueEx invalid type of 'short'",
                     288);
    expectValueError([&] { key.lookup(L"half", out); }, L"RegQueryValueEx invalid size of 'half'",
                     290);
    EXPECT_EQ(ERROR_MORE_DATA, key.lookup(L"long", out));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.lookup(L"missing", out));
    EXPECT_EQ(11u, out);
    EXPECT_EQ(0, key.lookup(L"number", out));
    EXPECT_EQ(3u, out);

    std::wstring text = L"default";
    expectValueError([&] { key.lookup(L"number", text); },
                     L"RegQueryValueEx invalid type of 'number'", 578);
    expectValueError([&] { key.lookup(L"multi", text); },
                     L"RegQueryValueEx invalid type of 'multi'", 578);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.lookup(L"missing", text));
    EXPECT_EQ(L"default", text);
    EXPECT_EQ(0, key.lookup(L"expand", text));
    EXPECT_EQ(windowsDirectory(), text);
}

// View tests need a redirected tree: HKLM\SOFTWARE is split between the 32- and 64-bit views.
class RegistryViews : public ::testing::Test {
protected:
    void SetUp() override { name_ = newGuid(); }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            zra_testing::removeKeyTree(HKEY_LOCAL_MACHINE, subKey(), view);
            // Fails harmlessly while another test still has keys there.
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZraTest", view, 0);
        }
        EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::View32));
        EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::View64));
    }

    std::wstring subKey() const { return L"SOFTWARE\\ZraTest\\" + name_; }
    // Creates the key in one view with one DWORD value "n" = 1.
    void createIn(REGSAM view) {
        base::ScopedRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey().c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS | view, nullptr, key.put(), nullptr));
        const DWORD one = 1;
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"n", 0, REG_DWORD,
                                                  reinterpret_cast<const BYTE*>(&one), 4));
    }

    std::wstring name_;
};

bool runsUnderWow64() {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

TEST_F(RegistryViews, ViewFlags) {
    EXPECT_EQ(0u, registry::viewFlag(registry::ViewDefault));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), registry::viewFlag(registry::View32));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), registry::viewFlag(registry::View64));
    EXPECT_EQ(0u, registry::viewFlag(4));
    EXPECT_EQ(0u, registry::viewFlag(-1));
    EXPECT_EQ(static_cast<REGSAM>(runsUnderWow64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY),
              registry::viewFlag(registry::ViewNative));
}

TEST_F(RegistryViews, KeyIn64BitViewIsInvisibleTo32BitView) {
    if (!runsUnderWow64())
        GTEST_SKIP() << "needs a 32-bit process on a 64-bit system";
    createIn(KEY_WOW64_64KEY);
    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::View64));
    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::ViewNative));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::View32));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::ViewDefault));

    DWORD out = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              registry::lookup(HKEY_LOCAL_MACHINE, subKey(), L"n", out, registry::View32));
    EXPECT_EQ(0, registry::lookup(HKEY_LOCAL_MACHINE, subKey(), L"n", out, registry::ViewNative));
    EXPECT_EQ(1u, out);
}

TEST_F(RegistryViews, KeyIn32BitViewIsInvisibleTo64BitView) {
    if (!runsUnderWow64())
        GTEST_SKIP() << "needs a 32-bit process on a 64-bit system";
    createIn(KEY_WOW64_32KEY);
    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::View32));
    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::ViewDefault));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::View64));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, subKey(), registry::ViewNative));

    std::wstring text = L"default";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              registry::lookup(HKEY_LOCAL_MACHINE, subKey(), L"n", text, REG_SZ, registry::View64));
    EXPECT_EQ(L"default", text);

    // The key object takes its view from the access mask.
    EXPECT_THROW(
        registry::Key(HKEY_LOCAL_MACHINE, subKey(), KEY_QUERY_VALUE | KEY_WOW64_64KEY, true),
        VFileNotFoundException);
    registry::Key key(HKEY_LOCAL_MACHINE, subKey(), KEY_QUERY_VALUE | KEY_WOW64_32KEY, true);
    DWORD out = 0;
    EXPECT_EQ(0, key.lookup(L"n", out));
    EXPECT_EQ(1u, out);
}

} // namespace
