#include "tools/testing/standin_service.h"

#include "tools/testing/temp.h"

#include <chrono>
#include <stdexcept>

namespace zra_testing {

std::wstring backslashed(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        // Backslashes are literal unless they stand before a quote.
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

namespace {

// The service writes UTF-8.
std::wstring widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    std::wstring out(text.size(), L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    return out;
}

void closeHandle(HANDLE& handle) {
    if (handle) {
        ::CloseHandle(handle);
        handle = nullptr;
    }
}

} // namespace

StandinService::StandinService(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                               const Options& options)
    : options_(options) {
    std::vector<std::wstring> argv = arguments;
    if (options.stop == Options::Stop::Event) {
        const std::wstring eventName = uniqueName(L"zra-standin-stop");
        stopEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
        if (!stopEvent_)
            throw std::runtime_error("cannot create the stand-in service's stop event");
        argv.insert(argv.end(), {L"--no-stdin", L"--stop-event", eventName});
    }
    std::wstring commandLine = quoteArgument(exe);
    for (const std::wstring& argument : argv)
        commandLine += L" " + quoteArgument(argument);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr, childErr = nullptr;
    HANDLE parentOut = nullptr, parentErr = nullptr;
    const bool nulInput = options.nulInput || options.stop == Options::Stop::Event;
    bool made = true;
    if (nulInput) {
        childIn = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
        made = childIn != INVALID_HANDLE_VALUE;
    } else
        made = ::CreatePipe(&childIn, &input_, &inherit, 0) != 0;
    made = made && ::CreatePipe(&parentOut, &childOut, &inherit, 0);
    if (!options.inheritErrors)
        made = made && ::CreatePipe(&parentErr, &childErr, &inherit, 0);
    for (HANDLE own : {input_, parentOut, parentErr})
        if (own)
            ::SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = options.inheritErrors ? ::GetStdHandle(STD_ERROR_HANDLE) : childErr;
    PROCESS_INFORMATION information = {};
    if (made && ::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &information)) {
        process_ = information.hProcess;
        ::CloseHandle(information.hThread);
    }
    // The child's ends go, so that its exit ends the reads.
    for (HANDLE* child : {&childIn, &childOut, &childErr})
        if (*child && *child != INVALID_HANDLE_VALUE)
            closeHandle(*child);
    if (!process_) {
        closeHandle(parentOut);
        closeHandle(parentErr);
        closeHandle(input_);
        closeHandle(stopEvent_);
        throw std::runtime_error("cannot start the stand-in service");
    }
    outReader_ = std::thread([this, parentOut] { pump(parentOut, true); });
    if (parentErr)
        errReader_ = std::thread([this, parentErr] { pump(parentErr, false); });
    if (options.waitReady && !waitFor(L"ready", 1, options.readyTimeoutMs)) {
        stop();
        throw std::runtime_error("the stand-in service did not get ready: " + banner());
    }
}

StandinService::~StandinService() {
    stop();
}

void StandinService::stop() {
    if (process_) {
        closeInput();
        if (stopEvent_)
            ::SetEvent(stopEvent_);
        if (::WaitForSingleObject(process_, options_.stopTimeoutMs) != WAIT_OBJECT_0) {
            stoppedCleanly_ = false;
            ::TerminateProcess(process_, 1);
            ::WaitForSingleObject(process_, 5000);
        }
    }
    if (outReader_.joinable())
        outReader_.join();
    if (errReader_.joinable())
        errReader_.join();
    closeHandle(process_);
    closeHandle(stopEvent_);
}

void StandinService::pump(HANDLE handle, bool output) {
    std::string pending;
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(handle, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!output) {
            errors_ += widen(std::string(buffer, count));
            continue;
        }
        pending.append(buffer, count);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines_.push_back(widen(line));
        }
        changed_.notify_all();
    }
    ::CloseHandle(handle);
    if (output) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!pending.empty())
            lines_.push_back(widen(pending));
        outputEnded_ = true;
        changed_.notify_all();
    }
}

bool StandinService::waitFor(const std::wstring& line, size_t occurrence, DWORD ms) {
    std::unique_lock<std::mutex> lock(lock_);
    bool found = false;
    const auto settled = [&] {
        size_t seen = 0;
        for (const std::wstring& l : lines_)
            seen += l == line;
        found = seen >= occurrence;
        return found || outputEnded_;
    };
    if (ms == INFINITE)
        changed_.wait(lock, settled);
    else
        changed_.wait_for(lock, std::chrono::milliseconds(ms), settled);
    return found;
}

std::string StandinService::banner() {
    std::lock_guard<std::mutex> guard(lock_);
    std::string out;
    for (const std::wstring& line : lines_) {
        if (line == L"ready")
            break;
        for (wchar_t c : line)
            out += static_cast<char>(c);
        out += '\n';
    }
    return out;
}

std::vector<std::wstring> StandinService::lines(const std::wstring& prefix) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::wstring> out;
    for (const std::wstring& line : lines_)
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line);
    return out;
}

std::wstring StandinService::errors() {
    if (process_ && ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0 && errReader_.joinable())
        errReader_.join();
    std::lock_guard<std::mutex> guard(lock_);
    return errors_;
}

void StandinService::send(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    if (input_)
        ::WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void StandinService::closeInput() {
    closeHandle(input_);
}

DWORD StandinService::waitExit(DWORD ms) {
    if (!process_ || ::WaitForSingleObject(process_, ms) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return code;
}

} // namespace zra_testing
