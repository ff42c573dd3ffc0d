#include "launcher/service_product_settings.h"

#include "service/client.h"

namespace {

// Selector 2 of componentInfo asks for the package's installation directory.
constexpr uint32_t kInstallDirectorySelector = 2;

class ServiceProductSettings : public ProductSettings {
public:
    std::wstring componentDirectory(const std::wstring& package) override {
        return VarnoSrvClient::getInstance().componentInfo(package, kInstallDirectorySelector);
    }
    std::wstring productRootSetting() override {
        return VarnoSrvClient::getInstance().getString(L"PRODUCT_ROOT_D");
    }
    std::wstring productAdminDirectory() override { return ::productAdminDirectory(); }
};

} // namespace

ProductSettings& serviceProductSettings() {
    static ServiceProductSettings settings;
    return settings;
}
