// Bundora, the bundle launcher: shows no window of its own. Apart from --help or --version given
// alone, its arguments are ignored.

#include <cstring>
#include <string>

#include "Form1.h"
#include "ProgramText.h"

// The launcher's version resource: product name and versions in a section of their own, readable
// with `readelf -p .version_resource`; PRODUCT_NAME and PRODUCT_VERSION come from the top-level
// CMakeLists.txt, as product.h does.
[[gnu::used, gnu::section(".version_resource")]] static const char kVersionResource[] =
    "ProductName=" PRODUCT_NAME "\0FileVersion=" PRODUCT_VERSION
    "\0ProductVersion=" PRODUCT_VERSION;

static const char kHelp[] =
    "Usage: bundora\n"
    "Installs the Pocket Lorvex modules that lie beside the launcher onto a handheld.\n"
    "\n"
    "The launcher carries the installer (Trestel.exe) appended to itself. It extracts it into\n"
    "the folder that INSTALLDIR under [HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex] names in\n"
    "the registry file, else into the temporary folder, unless a copy is there already. Then it\n"
    "runs the installer once for each module file (.bbl, .dct, .cmt, .dev, .brp) in its own\n"
    "folder, one after another, waiting for each to end.\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Any other arguments are ignored.\n"
    "\n"
    "Exit status:\n"
    "  0  after the last run, or the message that no module was found (the installer's own\n"
    "     exit status is ignored)\n"
    "  1  a step failed, the installer's start included\n"
    "\n"
    "Environment:\n"
    "  BUNDORA_REGISTRY  the registry file (default /etc/pocket-lorvex/registry.reg)\n"
    "  TEMP, TMPDIR      the temporary folder (default /tmp)\n"
    "  XDG_RUNTIME_DIR, XDG_CACHE_HOME, HOME\n"
    "                    where a private folder for the installer goes when the installer\n"
    "                    folder and the temporary folder are not the user's alone (the\n"
    "                    runtime folder, else the cache folder, by default ~/.cache)\n"
    "\n";

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        return programtext::Answer("bundora", programtext::VersionText("bundora"));
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        return programtext::Answer("bundora", kHelp + programtext::BugReportLine());
    }
    return bundora::runLauncher();
}
