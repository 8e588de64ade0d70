#pragma once

// What handheld-sim's --help prints for itself and for each command (its manual page is made
// from these too).

namespace handheldsim {

inline constexpr const char* kUsage =
    "Usage: handheld-sim COMMAND [ROOT] [OPTIONS]\n"
    "Creates and changes an emulated handheld: a folder tree that the installer's built-in\n"
    "device uses. ROOT defaults to $TRESTEL_DEVICE, else\n"
    "${XDG_DATA_HOME:-$HOME/.local/share}/trestel/handheld.\n"
    "\n"
    "Commands:\n"
    "  create   create a handheld with its standard folders and storage cards\n"
    "  show     show the handheld's tree, cards and settings\n"
    "  unplug   take the handheld away (its folder is moved aside)\n"
    "  plug     put an unplugged handheld back\n"
    "  set      change settings: read-only, capacity, speed, answer, name, OS version,\n"
    "           password; add cards\n"
    "  serve    put the handheld on the Remote API wire for SynCE (until stopped)\n"
    "\n"
    "A storage is named by its card's folder name, or by \":main\" for main memory.\n"
    "Run 'handheld-sim COMMAND --help' for the options of a command.\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  a failure\n"
    "  2  bad usage\n"
    "\n"
    "Environment:\n"
    "  TRESTEL_DEVICE  the root folder of the handheld when ROOT is not given\n"
    "  XDG_DATA_HOME   the folder of the default root, unless relative; else\n"
    "                  $HOME/.local/share\n"
    "\n";

inline constexpr const char* kCreateUsage =
    "Usage: handheld-sim create [ROOT] [--card NAME]... [--read-only NAME]...\n"
    "                           [--capacity NAME=SIZE]... [--speed N] [--answer yes|no|refuse]\n"
    "Creates ROOT with the folders \"Program Files\", \"My Documents\" and \"Windows\", and one\n"
    "storage card folder per --card. ROOT must not exist yet (or be an empty folder).\n"
    "  --card NAME            add a storage card called NAME\n"
    "  --read-only NAME       make a storage write-protected (NAME: a card, or :main)\n"
    "  --capacity NAME=SIZE   bytes available for files in a storage; SIZE is N, NK, NM or NG\n"
    "  --speed N              link speed in bytes per second (K, M, G allowed); 0: full speed\n"
    "  --answer WORD          how the handheld answers a connect: yes, no (never), refuse\n";

inline constexpr const char* kShowUsage =
    "Usage: handheld-sim show [ROOT]\n"
    "Shows whether the handheld is attached, its settings, its storage cards and its tree\n"
    "with file sizes.\n";

inline constexpr const char* kUnplugUsage =
    "Usage: handheld-sim unplug [ROOT]\n"
    "Unplugs the handheld: ROOT is renamed to a hidden sibling (.NAME.unplugged), so that the\n"
    "installer finds no handheld. Refused when it is unplugged already.\n";

inline constexpr const char* kPlugUsage =
    "Usage: handheld-sim plug [ROOT]\n"
    "Plugs an unplugged handheld back in: its folder is renamed back to ROOT.\n";

inline constexpr const char* kSetUsage =
    "Usage: handheld-sim set [ROOT] [--card NAME]... [--read-only NAME]... [--writable NAME]...\n"
    "                        [--capacity NAME=SIZE|NAME=none]... [--speed N|none]\n"
    "                        [--answer yes|no|refuse] [--name NAME] [--os MAJOR.MINOR]\n"
    "                        [--password PIN]\n"
    "Changes the settings of an attached handheld.\n"
    "  --card NAME            add a storage card called NAME (a folder that exists already\n"
    "                         becomes a card)\n"
    "  --read-only NAME       make a storage write-protected (NAME: a card, or :main)\n"
    "  --writable NAME        make a storage writable again\n"
    "  --capacity NAME=SIZE   bytes available for files (N, NK, NM, NG); none: unlimited\n"
    "  --speed N              link speed in bytes per second; none or 0: full speed\n"
    "  --answer WORD          yes (answer at once), no (never answer), refuse\n"
    "  --name NAME            the name the handheld goes by (default \"Emulated handheld\"):\n"
    "                         SynCE's tools pick it with -p NAME\n"
    "  --os MAJOR.MINOR       the OS version serve reports (default 5.2)\n"
    "  --password PIN         lock the handheld: connects are refused until PIN is given\n"
    "                         (the installer asks for it; through serve: synce-unlock PIN);\n"
    "                         empty: not locked. Kept as plain text in ROOT/.handheld\n"
    "Name, OS version and password count for serve from the next time the handheld is\n"
    "plugged in.\n";

inline constexpr const char* kServeUsage =
    "Usage: handheld-sim serve [ROOT]... [--os MAJOR.MINOR] [--name NAME]\n"
    "Puts handhelds on the wire as real ones are seen through SynCE: stands in for SynCE's\n"
    "connection manager (org.synce.dccm on the D-Bus system bus that DBUS_SYSTEM_BUS_ADDRESS\n"
    "names, else the real one), shows each plugged-in handheld as a device, and serves the\n"
    "Remote API on each connection that SynCE's library asks for, until SIGTERM or SIGINT.\n"
    "SynCE's tools pick a handheld with -p NAME. The handhelds' settings count as for the\n"
    "installer: unplug drops the connections and refuses new ones until plug; answer=no leaves\n"
    "connects unanswered, answer=refuse refuses them; read-only, capacity and speed as set\n"
    "(capacity and speed shared by all connections and installers). Name, OS version and\n"
    "password come from each handheld's settings (handheld-sim set), read when it is plugged\n"
    "in; a handheld with a password is locked until synce-unlock gives it.\n"
    "  --os MAJOR.MINOR   with one ROOT: the OS version the handheld reports (default 5.2).\n"
    "                     SynCE speaks Remote API version 2 when MAJOR is above 4 and MINOR\n"
    "                     above 0, else version 1 (4.21, and also 5.0, 6.0 and 7.0)\n"
    "  --name NAME        with one ROOT: the device name (default \"Emulated handheld\")\n"
    "Status 1 with one line on standard error when the bus can't be reached, org.synce.dccm\n"
    "is taken or two handhelds have one name.\n";

}  // namespace handheldsim
