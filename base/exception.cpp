#include "base/exception.h"

#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/win32.h"

#include <oaidl.h>

#include <vector>

namespace base {
// The managed exception interface of the .NET runtime. Only ToString is used; it is the first
// method after IDispatch's seven. Implementations live in other modules, so the type must not be
// local to this file: GCC would see no implementer and drop the call as unreachable.
struct ManagedException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};
} // namespace base

namespace {

constexpr uint32_t kDispatchErrorFirst = 0x80040200u;
constexpr uint32_t kDispatchErrorLast = 0x8004FFFFu;

std::wstring dispatchOrUnknown(uint32_t code) {
    if (code > kDispatchErrorFirst && code <= kDispatchErrorLast)
        return format(L"IDispatch error #%d", static_cast<int>(code - kDispatchErrorFirst));
    return format(L"Unknown error 0x%0lX", static_cast<unsigned long>(code));
}

void stripOneLineBreak(std::wstring& text) {
    if (!text.empty() && text.back() == L'\n') {
        text.pop_back();
        if (!text.empty() && text.back() == L'\r')
            text.pop_back();
    }
}

// The system's text for a code. A code the system has no text for (317) is an ordinary answer;
// any other failure of the lookup itself (memory, a buffer too small) is not that, so the lookup
// is made again once, and then into a buffer of the caller's instead of one the system allocates.
bool lookUpSystemText(uint32_t code, std::wstring& text) {
    constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    for (int attempt = 0; attempt < 2; ++attempt) {
        wchar_t* buffer = nullptr;
        const DWORD length =
            ::FormatMessageW(kFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0x400,
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        base::ScopedLocalMem owner(buffer);
        if (length != 0 && buffer != nullptr) {
            text.assign(buffer, length);
            return true;
        }
        if (::GetLastError() == ERROR_MR_MID_NOT_FOUND)
            return false;
        wchar_t own[1024];
        const DWORD ownLength =
            ::FormatMessageW(kFlags, nullptr, code, 0x400, own, sizeof(own) / sizeof(own[0]),
                             nullptr);
        if (ownLength != 0) {
            text.assign(own, ownLength);
            return true;
        }
        if (::GetLastError() == ERROR_MR_MID_NOT_FOUND)
            return false;
    }
    return false;
}

template <typename E>
[[noreturn]] void throwOs(uint32_t code, const std::wstring& context, SourceLocation& location) {
    throw E(code, context, std::move(location));
}

template <typename E> [[noreturn]] void throwRunTime(const std::wstring& text, uint32_t code) {
    throw E(text, code);
}

const IID kManagedExceptionIid = {
    0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};

// The two OLE Automation calls needed for BSTRs, resolved when first used. Linking oleaut32
// would load user32 and its friends at every start of every program built on this library, which
// is most of a launch's cost; a BSTR can only reach us from a module that already loaded it.
struct OleAutomation {
    UINT(WINAPI* stringLength)(BSTR) = nullptr;
    void(WINAPI* freeString)(BSTR) = nullptr;
};

const OleAutomation& oleAutomation() {
    static const OleAutomation api = [] {
        OleAutomation result;
        HMODULE module = ::GetModuleHandleW(L"oleaut32.dll");
        if (!module)
            module = ::LoadLibraryW(L"oleaut32.dll");
        if (module) {
            result.stringLength = reinterpret_cast<UINT(WINAPI*)(BSTR)>(
                reinterpret_cast<void*>(::GetProcAddress(module, "SysStringLen")));
            result.freeString = reinterpret_cast<void(WINAPI*)(BSTR)>(
                reinterpret_cast<void*>(::GetProcAddress(module, "SysFreeString")));
        }
        return result;
    }();
    return api;
}

std::wstring takeBstr(BSTR text) {
    if (!text)
        return std::wstring();
    const OleAutomation& api = oleAutomation();
    std::wstring result =
        api.stringLength ? std::wstring(text, api.stringLength(text)) : std::wstring(text);
    if (api.freeString)
        api.freeString(text);
    return result;
}

// Process-wide Debug switch cache; the system reads it from its main thread only. All three are
// constant-initialised, so a reader installed by a static initialiser elsewhere is never
// overwritten by one here.
uint32_t g_debugCalls = 0;
uint32_t g_debugValue = 0;
DebugSwitchReader g_debugSwitchReader = nullptr;

} // namespace

vexception::vexception(std::wstring message) : message_(std::move(message)) {}

vexception::vexception(std::wstring message, SourceLocation location)
    : message_(std::move(message)) {
    locations_.push_back(std::move(location));
}

std::wstring vexception::fullText() const {
    std::wstring result = message_;
    for (const SourceLocation& location : locations_) {
        result += L"\n   at ";
        result += location.message;
        result += L"(";
        result += wstr(location.function, 0);
        result += L" line ";
        result += toDecimal(location.line);
        result += L")";
    }
    return result;
}

std::wstring vexception::text() const {
    return isDebugEnabled() ? fullText() : message_;
}

vosexception::vosexception(uint32_t code, const std::wstring& context, SourceLocation location)
    : vexception(osErrorMessage(code, &context), std::move(location)), code_(code) {}

vosexception::vosexception(uint32_t code, std::wstring message)
    : vexception(std::move(message)), code_(code) {}

std::wstring cwrpexception::text() const {
    return L"C structured exception: " + toHex(code_);
}

ComError::ComError(int32_t hresult, IErrorInfo* errorInfo, bool addRef)
    : hresult_(hresult), errorInfo_(errorInfo) {
    if (errorInfo_ && addRef)
        errorInfo_->AddRef();
}

ComError::ComError(const ComError& other) : hresult_(other.hresult_), errorInfo_(other.errorInfo_) {
    if (errorInfo_)
        errorInfo_->AddRef();
}

ComError& ComError::operator=(const ComError& other) {
    if (this != &other) {
        if (other.errorInfo_)
            other.errorInfo_->AddRef();
        if (errorInfo_)
            errorInfo_->Release();
        hresult_ = other.hresult_;
        errorInfo_ = other.errorInfo_;
    }
    return *this;
}

ComError::~ComError() {
    if (errorInfo_)
        errorInfo_->Release();
}

std::wstring ComError::ErrorMessage() const {
    std::wstring text;
    if (!lookUpSystemText(static_cast<uint32_t>(hresult_), text))
        return dispatchOrUnknown(static_cast<uint32_t>(hresult_));
    stripOneLineBreak(text);
    return text;
}

std::wstring ComError::Description() const {
    if (!errorInfo_)
        return std::wstring();
    BSTR description = nullptr;
    if (FAILED(errorInfo_->GetDescription(&description)))
        return std::wstring();
    return takeBstr(description);
}

std::wstring osErrorMessage(uint32_t code, const std::wstring* context) {
    std::wstring tail = format(L" (Error code %lu)", static_cast<unsigned long>(code));
    if (context) {
        tail += L" at ";
        tail += *context;
    }
    std::wstring text;
    if (!lookUpSystemText(code, text))
        return L"Unknown error" + tail;
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text + tail;
}

std::wstring systemMessage(uint32_t code) {
    // No arguments are passed, so a text with an insert ("Bad EXE format for %1.") keeps its
    // placeholder as it stands instead of failing the call.
    std::wstring text;
    if (!lookUpSystemText(code, text))
        return dispatchOrUnknown(code);
    stripOneLineBreak(text);
    return text;
}

void raiseOsError(const std::wstring& context, uint32_t code, SourceLocation location) {
    switch (code) {
    case 2:
        throwOs<VFileNotFoundException>(code, context, location);
    case 3:
        throwOs<VPathNotFoundException>(code, context, location);
    case 5:
        throwOs<VAccessDeniedException>(code, context, location);
    case 14:
        throwOs<VOutOfMemoryException>(code, context, location);
    case 32:
        throwOs<VSharingViolationException>(code, context, location);
    case 38:
        throwOs<VEOFException>(code, context, location);
    case 80:
        throwOs<VFileExistsException>(code, context, location);
    case 122:
        throwOs<VInsufficientBufferException>(code, context, location);
    case 183:
        throwOs<VAlreadyExistsException>(code, context, location);
    case 1060:
        throwOs<VServiceDoesNotExistException>(code, context, location);
    case 1072:
        throwOs<VServiceMarkedForDeleteException>(code, context, location);
    case 1073:
        throwOs<VServiceAlreadyExistsException>(code, context, location);
    case 2245:
        throwOs<VPasswordTooShortException>(code, context, location);
    default:
        throwOs<vosexception>(code, context, location);
    }
}

void raiseOutOfMemory() {
    // Typed, so that a caller with a fallback can tell its own lack of memory from an answer.
    throw VOutOfMemoryException(ERROR_OUTOFMEMORY, osErrorMessage(ERROR_OUTOFMEMORY, nullptr));
}

void raiseRunTimeError(const wchar_t* fmt, uint32_t code, ...) {
    va_list args;
    va_start(args, code);
    std::wstring message;
    try {
        message = vaformat(fmt, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    if (code == 0)
        throw RunTime::Error(message, 0);
    const std::wstring text = format(L"%s: (%d) %s", message.c_str(), static_cast<int>(code),
                                     systemMessage(code).c_str());
    switch (code) {
    case 2:
    case 3:
        throwRunTime<RunTime::PathNotFoundException>(text, code);
    case 5:
        throwRunTime<RunTime::AccessDeniedException>(text, code);
    case 6:
        throwRunTime<RunTime::InvalidHandleException>(text, code);
    case 15:
    case 26:
    case 34:
    case 123:
    case 161:
    case 267:
        throwRunTime<RunTime::InvalidPathException>(text, code);
    case 32:
    case 33:
    case 36:
        throwRunTime<RunTime::SharingViolationException>(text, code);
    case 80:
    case 183:
        throwRunTime<RunTime::AlreadyExistsException>(text, code);
    case 145:
        throwRunTime<RunTime::DirectoryNotEmptyException>(text, code);
    case 1332:
        throwRunTime<RunTime::NoneMappedException>(text, code);
    default:
        throwRunTime<RunTime::Error>(text, code);
    }
}

RunTime::Error::Error(const std::wstring& message, uint32_t code)
    : std::runtime_error(cstr(message, 0)), message_(message), code_(code) {}

std::wstring exceptionText(const std::exception& e) {
    if (const auto* error = dynamic_cast<const RunTime::Error*>(&e))
        return error->message();
    return wstr(e.what(), 0);
}

vexception& addLocation(vexception& e, SourceLocation location) {
    e.addLocation(std::move(location));
    return e;
}

vexception fromComError(const ComError& error, const std::wstring& context, const char* function,
                        int32_t line) {
    bool managed = false;
    std::wstring managedText;
    if (IErrorInfo* info = error.ErrorInfo()) {
        base::ManagedException* exception = nullptr;
        const HRESULT hr =
            info->QueryInterface(kManagedExceptionIid, reinterpret_cast<void**>(&exception));
        // Any success code hands out a reference that must be released; only real failures
        // other than "no such interface" are errors of their own.
        if (SUCCEEDED(hr)) {
            if (exception) {
                managed = true;
                BSTR text = nullptr;
                if (SUCCEEDED(exception->get_ToString(&text)))
                    managedText = takeBstr(text);
                exception->Release();
            }
        } else if (hr != E_NOINTERFACE) {
            throw ComError(hr);
        }
    }
    std::wstring message = error.ErrorMessage();
    message += format(managed ? L" (COM Interop Error %08X" : L" (COM Error %08X",
                      static_cast<unsigned>(error.Error()));
    const std::wstring description = error.Description();
    if (!description.empty()) {
        message += L", Description: ";
        message += managed ? managedText : description;
    }
    message += L")\n   at ";
    message += context;
    return vexception(std::move(message), SourceLocation(L"", function, line));
}

bool isDebugEnabled() {
    // A failure composed during static initialisation, before the reader is in place, must not
    // use up the first read.
    if (!g_debugSwitchReader)
        return false;
    if (g_debugCalls++ % 16 == 0) {
        try {
            uint32_t value = 0;
            if (g_debugSwitchReader(value))
                g_debugValue = value;
        } catch (...) {
            return false;
        }
    }
    return g_debugValue != 0;
}

DebugSwitchReader setDebugSwitchReader(DebugSwitchReader reader) {
    DebugSwitchReader previous = g_debugSwitchReader;
    g_debugSwitchReader = reader;
    return previous;
}

void resetDebugSwitchCache() {
    g_debugCalls = 0;
    g_debugValue = 0;
}

vexception catchLadder(const std::wstring& context, const char* function, int32_t line) {
    try {
        throw;
    } catch (const std::exception& e) {
        return vexception(exceptionText(e), SourceLocation(context, function, line));
    } catch (vexception& e) {
        addLocation(e, SourceLocation(context, function, line));
        return e;
    } catch (const ComError& e) {
        return fromComError(e, context, function, line);
    } catch (const cwrpexception& e) {
        return vexception(e.text(), SourceLocation(context, function, line));
    } catch (...) {
        return vexception(L"Unexpected error", SourceLocation(context, function, line));
    }
}
