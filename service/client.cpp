#include "base/win32.h"

#include "service/client.h"

#include "base/exception.h"
#include "base/text.h"
#include "base/se_translator.h"
#include "os/cancelation.h"
#include "os/path.h"
#include "registry/registry.h"

#include <vector>

namespace {

// Operation identifiers the service dispatches on.
const GUID kGetString = {
    0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
const GUID kGetPassword = {
    0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};
const GUID kComponentInfo = {
    0x943B58AA, 0x49DE, 0x47A5, {0xAA, 0x59, 0x0E, 0x01, 0x0A, 0x48, 0xC3, 0x41}};

// One request: the name, optionally a 4-byte selector, and one string back. Whatever fails leaves
// as a plain vexception carrying the request's own location.
std::wstring request(vpipechannel::client& channel, const GUID& operation, const std::wstring& name,
                     const uint32_t* selector, const std::wstring& context, const char* function,
                     int32_t line) {
    ScopedSeTranslator translator;
    try {
        ThreadCancelation::CancelationPoint point;
        vserializer body;
        body.writeString(name);
        if (selector != nullptr)
            body.writeBlock(sizeof(*selector), selector);
        return channel.queryString(operation, body);
    } catch (VOutOfMemoryException& e) {
        e.addLocation(SourceLocation(context, function, line));
        throw;
    } catch (const std::bad_alloc&) {
        VOutOfMemoryException e(ERROR_OUTOFMEMORY, osErrorMessage(ERROR_OUTOFMEMORY, nullptr));
        e.addLocation(SourceLocation(context, function, line));
        throw e;
    } catch (...) {
        throw catchLadder(context, function, line);
    }
}

} // namespace

VarnoSrvClient::VarnoSrvClient() : vpipechannel::client(registry::kConfigKey, L"zrapipe", true) {}

VarnoSrvClient& VarnoSrvClient::getInstance() {
    ScopedSeTranslator translator;
    try {
        ThreadCancelation::CancelationPoint point;
        // A constructor that throws leaves the static unbuilt, so the next call tries again; the
        // built one is destroyed at exit, which closes the pipe.
        static VarnoSrvClient instance;
        return instance;
    } catch (...) {
        throw catchLadder(L"get shared instance of VarnoSrvClient", "VarnoSrvClient::getInstance",
                          327);
    }
}

std::wstring VarnoSrvClient::getString(const std::wstring& name) {
    return request(*this, kGetString, name, nullptr, format(L"getString(%s)", name.c_str()),
                   "VarnoSrvClient::getString", 234);
}

std::wstring VarnoSrvClient::getString(const std::wstring& name, const std::wstring& defaultValue) {
    try {
        return getInstance().getString(name);
    } catch (const VOutOfMemoryException&) {
        // The launcher's own want of memory says nothing of the value: the default would pass
        // for an answer (an older panel's road for a current panel).
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return defaultValue;
    }
}

std::wstring VarnoSrvClient::getPassword(const std::wstring& name) {
    return request(*this, kGetPassword, name, nullptr, format(L"getPassword('%s')", name.c_str()),
                   "VarnoSrvClient::getPassword", 211);
}

std::wstring VarnoSrvClient::componentInfo(const std::wstring& packageName, uint32_t selector) {
    return request(*this, kComponentInfo, packageName, &selector,
                   format(L"componentInfo for package '%s'", packageName.c_str()),
                   "VarnoSrvClient::componentInfo", 581);
}

std::wstring productRoot() {
    // Filled by the first call that succeeds; the service is not asked again in this process.
    static const std::wstring root =
        normalizePath(VarnoSrvClient::getInstance().getString(L"PRODUCT_ROOT_D"));
    return root;
}

std::wstring productAdminDirectory() {
    return VFileName::combine(productRoot(), L"admin");
}

std::wstring normalizePath(const std::wstring& path) {
    std::wstring text = path;
    for (wchar_t& c : text)
        if (c == L'/')
            c = L'\\';

    std::wstring prefix;
    if (text.compare(0, 4, L"\\\\?\\") == 0 || text.compare(0, 4, L"\\\\.\\") == 0) {
        prefix = text.substr(0, 4);
        text.erase(0, 4);
    }
    const bool leading = !text.empty() && text.front() == L'\\';
    const bool trailing = text.size() > 1 && text.back() == L'\\';

    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\\', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring piece = text.substr(start, end - start);
        start = end + 1;
        // "." has no other case, so exact comparison is the case-blind one; a linguistic
        // comparison would also match names with ignorable characters such as "..\u00AD".
        if (piece.empty() || piece == L".")
            continue;
        if (piece == L"..") {
            if (!pieces.empty() && pieces.back() != L"..")
                pieces.pop_back();
            else
                pieces.push_back(piece);
            continue;
        }
        pieces.push_back(std::move(piece));
    }

    std::wstring result = prefix;
    if (leading)
        result += L'\\';
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i != 0)
            result += L'\\';
        result += pieces[i];
    }
    if (trailing)
        result += L'\\';
    return result;
}
