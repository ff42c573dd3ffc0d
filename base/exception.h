// The exception families every subsystem raises, the composition of their texts, and the catch
// ladder through which boundaries turn any failure into one vexception.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct SourceLocation {
    std::wstring message; // what was being attempted; empty at most raising sites
    std::string function; // qualified function name as written at the site
    int32_t line = 0;

    SourceLocation() = default;
    SourceLocation(std::wstring message_, std::string function_, int32_t line_)
        : message(std::move(message_)), function(std::move(function_)), line(line_) {}
};

// Deliberately not derived from std::exception: boundaries catch it by its own type.
class vexception {
public:
    explicit vexception(std::wstring message);
    vexception(std::wstring message, SourceLocation location);

    const std::wstring& message() const { return message_; }
    const std::vector<SourceLocation>& locations() const { return locations_; }
    void addLocation(SourceLocation location) { locations_.push_back(std::move(location)); }

    // The message followed by one "\n   at ..." line per location.
    std::wstring fullText() const;
    // fullText while the Debug switch is on, otherwise the bare message.
    std::wstring text() const;

private:
    std::wstring message_;
    std::vector<SourceLocation> locations_;
};

class vosexception : public vexception {
public:
    vosexception(uint32_t code, const std::wstring& context, SourceLocation location);
    // With the message already composed and no location yet.
    vosexception(uint32_t code, std::wstring message);
    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

#define ZRA_DECLARE_OS_EXCEPTION(Name)                                                             \
    class Name : public vosexception {                                                             \
    public:                                                                                        \
        using vosexception::vosexception;                                                          \
    }

ZRA_DECLARE_OS_EXCEPTION(VFileNotFoundException);
ZRA_DECLARE_OS_EXCEPTION(VPathNotFoundException);
ZRA_DECLARE_OS_EXCEPTION(VAccessDeniedException);
ZRA_DECLARE_OS_EXCEPTION(VOutOfMemoryException);
ZRA_DECLARE_OS_EXCEPTION(VSharingViolationException);
ZRA_DECLARE_OS_EXCEPTION(VEOFException);
ZRA_DECLARE_OS_EXCEPTION(VFileExistsException);
ZRA_DECLARE_OS_EXCEPTION(VInsufficientBufferException);
ZRA_DECLARE_OS_EXCEPTION(VAlreadyExistsException);
ZRA_DECLARE_OS_EXCEPTION(VServiceDoesNotExistException);
ZRA_DECLARE_OS_EXCEPTION(VServiceMarkedForDeleteException);
ZRA_DECLARE_OS_EXCEPTION(VServiceAlreadyExistsException);
ZRA_DECLARE_OS_EXCEPTION(VPasswordTooShortException);
#undef ZRA_DECLARE_OS_EXCEPTION

class ArgumentException : public vexception {
public:
    using vexception::vexception;
};

// A structured exception (access violation and the like) turned into an ordinary C++ exception.
class cwrpexception {
public:
    explicit cwrpexception(uint32_t code) : code_(code) {}
    uint32_t code() const { return code_; }
    // "C structured exception: 0x" followed by the code in lower-case hexadecimal.
    std::wstring text() const;

private:
    uint32_t code_;
};

namespace RunTime {
// What raiseRunTimeError throws for code 0 and for codes without a class of their own. what()
// holds the text in the ANSI code page, as narrow readers expect; message() keeps it whole, with
// every character the ANSI code page cannot show (a script named in Greek on a Western system).
class Error : public std::runtime_error {
public:
    Error(const std::wstring& message, uint32_t code);
    const std::wstring& message() const { return message_; }
    // The OS error the text was raised with; 0 for none.
    uint32_t code() const { return code_; }

private:
    std::wstring message_;
    uint32_t code_;
};

#define ZRA_DECLARE_RUNTIME_EXCEPTION(Name)                                                        \
    class Name : public Error {                                                                    \
    public:                                                                                        \
        using Error::Error;                                                                        \
    }
ZRA_DECLARE_RUNTIME_EXCEPTION(PathNotFoundException);
ZRA_DECLARE_RUNTIME_EXCEPTION(AccessDeniedException);
ZRA_DECLARE_RUNTIME_EXCEPTION(InvalidHandleException);
ZRA_DECLARE_RUNTIME_EXCEPTION(InvalidPathException);
ZRA_DECLARE_RUNTIME_EXCEPTION(SharingViolationException);
ZRA_DECLARE_RUNTIME_EXCEPTION(AlreadyExistsException);
ZRA_DECLARE_RUNTIME_EXCEPTION(DirectoryNotEmptyException);
ZRA_DECLARE_RUNTIME_EXCEPTION(NoneMappedException);
#undef ZRA_DECLARE_RUNTIME_EXCEPTION
} // namespace RunTime

// The stand-in for the platform's COM error class: an HRESULT, the description taken from the
// error-information object, and that object itself (may be null). Owns one reference to it.
struct IErrorInfo;
class ComError {
public:
    explicit ComError(int32_t hresult, IErrorInfo* errorInfo = nullptr, bool addRef = false);
    ComError(const ComError& other);
    ComError& operator=(const ComError& other);
    ~ComError();

    int32_t Error() const { return hresult_; }
    IErrorInfo* ErrorInfo() const { return errorInfo_; }
    // The system text of the HRESULT, one trailing line break removed, or the IDispatch/Unknown
    // fallback when the system has none.
    std::wstring ErrorMessage() const;
    // The error-information object's description; empty without one.
    std::wstring Description() const;

private:
    int32_t hresult_;
    IErrorInfo* errorInfo_;
};

// "<system text> (Error code N)[ at <context>]", or "Unknown error (Error code N)..." when the
// system has no text. A null context leaves out the " at " part entirely.
std::wstring osErrorMessage(uint32_t code, const std::wstring* context);
// The system text of a code with the grown-buffer FormatMessage, for the RunTime family.
std::wstring systemMessage(uint32_t code);

[[noreturn]] void raiseOsError(const std::wstring& context, uint32_t code, SourceLocation location);
[[noreturn]] void raiseOutOfMemory();
[[noreturn]] void raiseRunTimeError(const wchar_t* format, uint32_t code, ...);

vexception& addLocation(vexception& e, SourceLocation location);
vexception fromComError(const ComError& error, const std::wstring& context, const char* function,
                        int32_t line);

// The panel's Debug switch, re-read on the 1st, 17th, 33rd ... call through the installed reader.
// Without a reader the switch is off and calls are not counted.
bool isDebugEnabled();
// Forgets the cached switch so the next call reads it again (tests only).
void resetDebugSwitchCache();

// Reads the switch's stored value: true with the value, false when it is not there (the cache
// keeps what it had); a throw makes that call read as off. This library sits below the registry
// library, which installs its reader while the program starts.
using DebugSwitchReader = bool (*)(uint32_t& value);
// Returns the reader that was installed before; null uninstalls.
DebugSwitchReader setDebugSwitchReader(DebugSwitchReader reader);

// The text of a standard exception: a run-time error's whole wide text, otherwise what() taken
// from the ANSI code page.
std::wstring exceptionText(const std::exception& e);

// The catch ladder. Call only inside a catch block: rethrows the exception in flight and turns it
// into one vexception carrying (context, function, line):
//   std::exception -> new vexception with exceptionText
//   vexception     -> the caught object with the location appended
//   ComError       -> fromComError
//   cwrpexception  -> new vexception with its text
//   anything else  -> new vexception "Unexpected error"
vexception catchLadder(const std::wstring& context, const char* function, int32_t line);

// Runs work() and converts whatever escapes it through the catch ladder, then throws the result.
template <typename F>
auto throwThroughLadder(const std::wstring& context, const char* function, int32_t line, F&& work)
    -> decltype(work()) {
    try {
        return work();
    } catch (...) {
        throw catchLadder(context, function, line);
    }
}
