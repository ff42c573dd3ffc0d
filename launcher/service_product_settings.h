// The product settings the launcher hands to process/: answered by the management service.
#pragma once

#include "process/product_settings.h"

// The one instance; every question goes to VarnoSrvClient::getInstance().
ProductSettings& serviceProductSettings();
