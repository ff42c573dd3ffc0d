#include "base/exception.h"

#include "base/text.h"
#include "base/win32.h"
#include "registry/registry.h"

#include <oaidl.h>
#include <oleauto.h>

#include "tools/testing/registry.h"

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

std::wstring systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n ? std::wstring(buffer, n) : std::wstring();
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

// vexception has no virtual members, so the class is told by which catch clause takes it.
template <typename Expected> void expectOsClass(uint32_t code) {
    try {
        raiseOsError(L"ctx", code, SourceLocation(L"", "f", 1));
    } catch (const Expected& e) {
        EXPECT_EQ(code, e.code());
        return;
    } catch (const vexception&) {
    }
    ADD_FAILURE() << "code " << code << " did not raise its own class";
}

TEST(OsError, TheCodePicksTheClass) {
    expectOsClass<VFileNotFoundException>(2);
    expectOsClass<VPathNotFoundException>(3);
    expectOsClass<VAccessDeniedException>(5);
    expectOsClass<VOutOfMemoryException>(14);
    expectOsClass<VSharingViolationException>(32);
    expectOsClass<VEOFException>(38);
    expectOsClass<VFileExistsException>(80);
    expectOsClass<VInsufficientBufferException>(122);
    expectOsClass<VAlreadyExistsException>(183);
    expectOsClass<VServiceDoesNotExistException>(1060);
    expectOsClass<VServiceMarkedForDeleteException>(1072);
    expectOsClass<VServiceAlreadyExistsException>(1073);
    expectOsClass<VPasswordTooShortException>(2245);
    // A code without a class of its own is a vosexception and none of the subclasses.
    try {
        raiseOsError(L"ctx", 87, SourceLocation(L"", "f", 1));
    } catch (const VFileNotFoundException&) {
        ADD_FAILURE();
    } catch (const VAccessDeniedException&) {
        ADD_FAILURE();
    } catch (const VAlreadyExistsException&) {
        ADD_FAILURE();
    } catch (const vosexception& e) {
        EXPECT_EQ(87u, e.code());
    }
}

TEST(OsError, FileNotFoundIsCaughtByEveryBaseClause) {
    bool asOs = false, asBase = false;
    try {
        raiseOsError(L"x", 2, SourceLocation(L"", "f", 1));
    } catch (const vosexception&) {
        asOs = true;
    }
    try {
        raiseOsError(L"x", 2, SourceLocation(L"", "f", 1));
    } catch (const vexception& e) {
        asBase = true;
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ("f", e.locations()[0].function);
    }
    EXPECT_TRUE(asOs);
    EXPECT_TRUE(asBase);
}

TEST(OsError, MessageIsSystemTextThenCodeThenContext) {
    const std::wstring context = L"create mutex M";
    EXPECT_EQ(systemText(5) + L" (Error code 5) at create mutex M", osErrorMessage(5, &context));
    const std::wstring empty;
    const std::wstring withEmptyContext = osErrorMessage(87, &empty);
    EXPECT_EQ(L" at ", withEmptyContext.substr(withEmptyContext.size() - 4));
    EXPECT_EQ(systemText(14) + L" (Error code 14)", osErrorMessage(14, nullptr));
    const std::wstring c = L"c";
    EXPECT_EQ(L"Unknown error (Error code 987654) at c", osErrorMessage(987654, &c));
}

// Typed, so that a fallback can tell the process's own want of memory from an answer; the text
// is the OS message for code 14 and there is no location yet.
TEST(OsError, OutOfMemoryIsTypedWithoutLocation) {
    try {
        raiseOutOfMemory();
    } catch (const VOutOfMemoryException& e) {
        EXPECT_EQ(14u, e.code());
        EXPECT_TRUE(e.locations().empty());
        EXPECT_EQ(osErrorMessage(14, nullptr), e.message());
        EXPECT_EQ(L')', e.message().back());
        return;
    }
    FAIL();
}

TEST(RunTimeError, CodeZeroThrowsTheBareFormattedMessage) {
    try {
        raiseRunTimeError(L"Unable to start (%s): %d", 0, L"x.bat", 7);
    } catch (const std::exception& e) {
        EXPECT_EQ(typeid(RunTime::Error), typeid(e));
        EXPECT_STREQ("Unable to start (x.bat): 7", e.what());
        return;
    }
    FAIL();
}

template <typename Expected> void expectRunTimeClass(uint32_t code) {
    try {
        raiseRunTimeError(L"m", code);
    } catch (const std::exception& e) {
        EXPECT_EQ(typeid(Expected), typeid(e)) << code;
        return;
    }
    ADD_FAILURE() << code;
}

TEST(RunTimeError, TheCodePicksTheClass) {
    expectRunTimeClass<RunTime::PathNotFoundException>(2);
    expectRunTimeClass<RunTime::PathNotFoundException>(3);
    expectRunTimeClass<RunTime::AccessDeniedException>(5);
    expectRunTimeClass<RunTime::InvalidHandleException>(6);
    for (uint32_t code : {15u, 26u, 34u, 123u, 161u, 267u})
        expectRunTimeClass<RunTime::InvalidPathException>(code);
    for (uint32_t code : {32u, 33u, 36u})
        expectRunTimeClass<RunTime::SharingViolationException>(code);
    expectRunTimeClass<RunTime::AlreadyExistsException>(80);
    expectRunTimeClass<RunTime::AlreadyExistsException>(183);
    expectRunTimeClass<RunTime::DirectoryNotEmptyException>(145);
    expectRunTimeClass<RunTime::NoneMappedException>(1332);
    expectRunTimeClass<RunTime::Error>(87);
}

// what() is in the ANSI code page and loses what it cannot show; the wide text, which the catch
// ladder passes on, keeps every character, whatever the class and code.
TEST(RunTimeError, TheWideTextKeepsCharactersOutsideTheAnsiCodePage) {
    const std::wstring name = L"C:\\scripts\\\x03b4\x03bf\x03ba\x03b9\x03bc\x03ae-\x0434.txt";
    for (const uint32_t code : {0u, 2u, 5u, 87u, 183u}) {
        const std::wstring expected =
            code == 0 ? L"Unable to start (" + name + L")"
                      : format(L"Unable to start (%s): (%d) %s", name.c_str(),
                               static_cast<int>(code), systemMessage(code).c_str());
        try {
            raiseRunTimeError(L"Unable to start (%s)", code, name.c_str());
        } catch (const RunTime::Error& e) {
            EXPECT_EQ(expected, e.message()) << code;
            EXPECT_EQ(code, e.code());
            EXPECT_EQ(cstr(expected, 0), e.what()) << code;
            EXPECT_EQ(expected, exceptionText(e)) << code;
            try {
                throw;
            } catch (...) {
                const vexception converted = catchLadder(L"c", "f", 1);
                EXPECT_EQ(expected, converted.message()) << code;
                EXPECT_EQ(cstr(expected, 65001), cstr(converted.message(), 65001)) << code;
            }
        }
    }
    // Other standard exceptions keep coming from the ANSI code page.
    EXPECT_EQ(L"plain", exceptionText(std::logic_error("plain")));
}

TEST(RunTimeError, TextCarriesSignedCodeAndSystemMessage) {
    try {
        raiseRunTimeError(L"Unable to read file", 5);
    } catch (const std::exception& e) {
        EXPECT_EQ(cstr(L"Unable to read file: (5) " + systemMessage(5), 0), e.what());
    }
    try {
        raiseRunTimeError(L"com", 0x80070005u);
    } catch (const std::exception& e) {
        EXPECT_EQ(0, std::string(e.what()).find("com: (-2147024891) "));
    }
}

TEST(SystemMessage, FallsBackForCodesWithoutText) {
    EXPECT_EQ(systemText(5), systemMessage(5));
    EXPECT_EQ(L"IDispatch error #65008", systemMessage(0x8004FFF0u));
    EXPECT_EQ(L"Unknown error 0x2345678", systemMessage(0x02345678u));
    // 0x80040200 itself is outside the IDispatch range.
    EXPECT_EQ(L"Unknown error 0x80040200", systemMessage(0x80040200u));
}

// Texts with placeholders: a bad image (what starting a non-executable gives), a missing disk, a
// message missing from a file. Their placeholders stay as the system wrote them.
TEST(SystemMessage, TextsWithInsertsAreGivenAsTheSystemHasThem) {
    for (const DWORD code : {193ul, 107ul, 317ul}) {
        const std::wstring expected = systemText(code);
        ASSERT_NE(std::wstring::npos, expected.find(L"%1")) << code;
        EXPECT_EQ(expected, systemMessage(code)) << code;
        const std::wstring context = L"c";
        EXPECT_EQ(expected + L" (Error code " + std::to_wstring(code) + L") at c",
                  osErrorMessage(code, &context))
            << code;
    }
    try {
        raiseRunTimeError(L"Unable to start (%s)", 193, L"C:\\x\\tool.exe");
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_EQ(cstr(L"Unable to start (C:\\x\\tool.exe): (193) " + systemText(193), 0),
                  e.what());
    }
}

TEST(Vexception, FullTextListsEachLocation) {
    vexception e(L"Incorrect launching options.", SourceLocation(L"", "wmain", 66));
    addLocation(e, SourceLocation(L"Failed to launch an examination.", "wmain", 120));
    EXPECT_EQ(L"Incorrect launching options.\n   at (wmain line 66)\n   at Failed to launch an "
              L"examination.(wmain line 120)",
              e.fullText());
    EXPECT_EQ(L"Incorrect launching options.",
              vexception(L"Incorrect launching options.").fullText());
}

TEST(Cwrpexception, TextIsLowerCaseHex) {
    EXPECT_EQ(L"C structured exception: 0xc0000005", cwrpexception(0xC0000005u).text());
    EXPECT_EQ(L"C structured exception: 0x80000003", cwrpexception(0x80000003u).text());
    EXPECT_EQ(L"C structured exception: 0xc00000fd", cwrpexception(0xC00000FDu).text());
}

// An error-information object, optionally also offering the managed exception interface.
class FakeErrorInfo : public IErrorInfo {
public:
    // queryResult: what asking for the managed interface returns; a failure hands out nothing,
    // a success code hands out the interface when managed is set.
    FakeErrorInfo(const wchar_t* description, bool managed, HRESULT queryResult = S_OK)
        : description_(description), managed_(managed), queryResult_(queryResult) {}
    LONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        static const IID managedIid = {
            0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
            *out = static_cast<IErrorInfo*>(this);
        } else if (iid == managedIid) {
            if (FAILED(queryResult_))
                return queryResult_;
            if (!managed_)
                return queryResult_ == S_OK ? E_NOINTERFACE : queryResult_;
            *out = &managed;
            AddRef();
            return queryResult_;
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override {
        *out = ::SysAllocString(description_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }

    // IDispatch followed by ToString, as the managed exception interface lays them out.
    struct Managed : IDispatch {
        FakeErrorInfo* owner;
        explicit Managed(FakeErrorInfo* o) : owner(o) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
            return owner->QueryInterface(iid, out);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner->AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner->Release(); }
        HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                         EXCEPINFO*, UINT*) override {
            return E_NOTIMPL;
        }
        virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* out) {
            *out = ::SysAllocString(L"System.IO.IOException: disk full");
            return S_OK;
        }
    } managed{this};

private:
    const wchar_t* description_;
    bool managed_;
    HRESULT queryResult_;
};

TEST(ComErrors, PlainCOMErrorWithDescription) {
    FakeErrorInfo info(L"the widget broke", false);
    ComError error(E_FAIL, &info, true);
    const vexception e = fromComError(error, L"Failed to launch an examination.", "wmain", 120);
    EXPECT_EQ(error.ErrorMessage() +
                  L" (COM Error 80004005, Description: the widget broke)\n   at Failed to launch "
                  L"an examination.",
              e.message());
    ASSERT_EQ(1u, e.locations().size());
    EXPECT_EQ(L"", e.locations()[0].message);
    EXPECT_EQ(120, e.locations()[0].line);
}

TEST(ComErrors, ManagedExceptionUsesItsToString) {
    FakeErrorInfo info(L"ignored description", true);
    const vexception e = fromComError(ComError(E_FAIL, &info, true), L"ctx", "f", 1);
    EXPECT_NE(std::wstring::npos,
              e.message().find(L" (COM Interop Error 80004005, Description: System.IO.IOException: "
                               L"disk full)\n   at ctx"));
}

TEST(ComErrors, NoErrorInfoAndFallbackTexts) {
    const vexception e = fromComError(ComError(static_cast<int32_t>(0x8004FFF0u)), L"c", "f", 1);
    EXPECT_EQ(L"IDispatch error #65008 (COM Error 8004FFF0)\n   at c", e.message());
    EXPECT_EQ(L"Unknown error 0x2345678", ComError(0x02345678).ErrorMessage());
}

TEST(ComErrors, AFailingQueryIsRaisedAsComError) {
    FakeErrorInfo info(L"d", true, E_UNEXPECTED);
    try {
        fromComError(ComError(E_FAIL, &info, true), L"c", "f", 1);
        FAIL();
    } catch (const ComError& e) {
        EXPECT_EQ(E_UNEXPECTED, e.Error());
    }
}

TEST(ComErrors, AnySuccessOfTheQueryCountsAndItsReferenceIsReleased) {
    {
        // S_FALSE is a success: the interface it hands out is used and released again.
        FakeErrorInfo info(L"d", true, S_FALSE);
        {
            const ComError error(E_FAIL, &info, true);
            const vexception e = fromComError(error, L"c", "f", 1);
            EXPECT_NE(std::wstring::npos,
                      e.message().find(L" (COM Interop Error 80004005, Description: "
                                       L"System.IO.IOException: disk full)"));
        }
        EXPECT_EQ(1, info.refs);
    }
    {
        // A success without an interface is no managed exception, and no error either.
        FakeErrorInfo info(L"plain", false, S_FALSE);
        const vexception e = fromComError(ComError(E_FAIL, &info, true), L"c", "f", 1);
        EXPECT_NE(std::wstring::npos,
                  e.message().find(L" (COM Error 80004005, Description: plain)"));
        EXPECT_EQ(1, info.refs);
    }
}

vexception ladderOf(void (*thrower)()) {
    try {
        thrower();
    } catch (...) {
        return catchLadder(L"ctx", "boundary", 9);
    }
    return vexception(L"nothing thrown");
}

TEST(CatchLadder, EachClauseGivesOneVexceptionWithTheBoundaryLocation) {
    const vexception fromStd = ladderOf([] { throw std::runtime_error("caf\xE9"); });
    EXPECT_EQ(L"caf\u00e9", fromStd.message());
    ASSERT_EQ(1u, fromStd.locations().size());
    EXPECT_EQ(L"ctx", fromStd.locations()[0].message);
    EXPECT_EQ("boundary", fromStd.locations()[0].function);
    EXPECT_EQ(9, fromStd.locations()[0].line);

    const vexception fromOs =
        ladderOf([] { raiseOsError(L"open", 2, SourceLocation(L"", "inner", 3)); });
    const std::wstring open = L"open";
    EXPECT_EQ(osErrorMessage(2, &open), fromOs.message());
    ASSERT_EQ(2u, fromOs.locations().size());
    EXPECT_EQ("inner", fromOs.locations()[0].function);
    EXPECT_EQ("boundary", fromOs.locations()[1].function);

    EXPECT_EQ(L"C structured exception: 0xc0000094",
              ladderOf([] { throw cwrpexception(0xC0000094u); }).message());
    EXPECT_EQ(L"Unexpected error", ladderOf([] { throw 42; }).message());
    const vexception fromCom = ladderOf([] { throw ComError(E_FAIL); });
    EXPECT_EQ(ComError(E_FAIL).ErrorMessage() + L" (COM Error 80004005)\n   at ctx",
              fromCom.message());
    EXPECT_EQ(L"", fromCom.locations()[0].message);
}

TEST(CatchLadder, ThrowThroughLadderRethrowsTheResult) {
    try {
        throwThroughLadder(L"getString(X)", "VarnoSrvClient::getString", 234,
                           []() -> int { throw vexception(L"boom"); });
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(L"boom", e.message());
        ASSERT_EQ(1u, e.locations().size());
        EXPECT_EQ(L"getString(X)", e.locations()[0].message);
    }
    EXPECT_EQ(5, throwThroughLadder(L"c", "f", 1, [] { return 5; }));
}

// Sets the panel's Debug switch for one test and puts back what was there.
class DebugSwitch : public ::testing::Test {
protected:
    void SetUp() override { resetDebugSwitchCache(); }
    void TearDown() override {
        debug_.reset();
        resetDebugSwitchCache();
    }
    void set(DWORD value) { set(zra_testing::RegistryValue::dword(value)); }
    void set(const zra_testing::RegistryValue& value) {
        if (debug_)
            debug_->set(value);
        else
            debug_ = std::make_unique<zra_testing::ScopedValue>(
                zra_testing::panelValue(L"Debug", value));
    }
    std::unique_ptr<zra_testing::ScopedValue> debug_;
};

TEST_F(DebugSwitch, IsReadOnTheFirstAndEverySixteenthCall) {
    set(1);
    EXPECT_TRUE(isDebugEnabled()); // call 1 reads
    set(0);
    for (int call = 2; call <= 16; ++call)
        EXPECT_TRUE(isDebugEnabled()) << call;
    EXPECT_FALSE(isDebugEnabled()); // call 17 reads again
    set(1);
    for (int call = 18; call <= 32; ++call)
        EXPECT_FALSE(isDebugEnabled()) << call;
    EXPECT_TRUE(isDebugEnabled()); // call 33
}

TEST_F(DebugSwitch, TextIsFullTextOnlyWhileDebugIsOn) {
    vexception e(L"Incorrect launching options.", SourceLocation(L"", "wmain", 66));
    set(0);
    EXPECT_EQ(L"Incorrect launching options.", e.text());
    resetDebugSwitchCache();
    set(1);
    EXPECT_EQ(e.fullText(), e.text());
}

TEST_F(DebugSwitch, AMissingValueKeepsTheCachedSwitch) {
    set(1);
    EXPECT_TRUE(isDebugEnabled());
    set(zra_testing::RegistryValue::absent());
    for (int call = 2; call <= 17; ++call)
        EXPECT_TRUE(isDebugEnabled()) << call;
}

TEST_F(DebugSwitch, AValueOfTheWrongTypeReadsAsOffForThatCall) {
    set(1);
    EXPECT_TRUE(isDebugEnabled());
    for (int call = 2; call <= 16; ++call)
        isDebugEnabled();
    set(zra_testing::RegistryValue::raw(REG_SZ, L"1", 4));
    EXPECT_FALSE(isDebugEnabled()); // call 17 throws inside: off, cache kept
    EXPECT_TRUE(isDebugEnabled());
}

} // namespace
