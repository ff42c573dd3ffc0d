// The process-wide client of the management service: configuration values, secrets and component
// directories are all asked for through it, over the service's named pipe.
#pragma once

#include "service/channel.h"

#include <cstdint>
#include <string>

class VarnoSrvClient : public vpipechannel::client {
public:
    // Builds the singleton on first success (connecting at once); raises a vexception otherwise,
    // and the next call tries again.
    static VarnoSrvClient& getInstance();

    // Raise a vexception on any failure.
    std::wstring getString(const std::wstring& name);
    std::wstring getPassword(const std::wstring& name);
    std::wstring componentInfo(const std::wstring& packageName, uint32_t selector);

    // Never raises: any failure, building the shared instance included, yields defaultValue.
    // Static because it goes through getInstance itself; it can also be called on an instance.
    static std::wstring getString(const std::wstring& name, const std::wstring& defaultValue);
    std::wstring password() { return getPassword(L"pwd"); }

private:
    VarnoSrvClient();
};

// The panel's installation root ("PRODUCT_ROOT_D" from the service), normalised; asked for once
// per process.
std::wstring productRoot();
// productRoot() joined with "admin".
std::wstring productAdminDirectory();
// Turns "/" into "\", collapses separator runs and resolves "." and ".." pieces textually.
std::wstring normalizePath(const std::wstring& path);
