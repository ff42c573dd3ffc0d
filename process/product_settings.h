// Where the interpreters of scripts live and where product children start. The launcher answers
// from the management service; process/ sees only this interface, so it stays below the service
// client and command resolution can be exercised without a running service.
#pragma once

#include <string>

class ProductSettings {
public:
    virtual ~ProductSettings() = default;

    // The installation directory of a component package ("perl", "php", "python"); empty when the
    // package is not installed.
    virtual std::wstring componentDirectory(const std::wstring& package) = 0;
    // The raw "PRODUCT_ROOT_D" configuration value, not normalised.
    virtual std::wstring productRootSetting() = 0;
    // The product root joined with "admin".
    virtual std::wstring productAdminDirectory() = 0;
};
