// Bundora, the bundle launcher: takes no arguments and shows no window of its own.

#include "Form1.h"

// The launcher's version resource: product name and versions in a section of their own, readable
// with `readelf -p .version_resource`; PRODUCT_NAME and PRODUCT_VERSION come from the top-level
// CMakeLists.txt, as product.h does.
[[gnu::used, gnu::section(".version_resource")]] static const char kVersionResource[] =
    "ProductName=" PRODUCT_NAME "\0FileVersion=" PRODUCT_VERSION
    "\0ProductVersion=" PRODUCT_VERSION;

int main() {
    return bundora::runLauncher();
}
