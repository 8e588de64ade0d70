// The handheld's choice and lock through SynCE: the names from its device enumeration (the
// Remote API 2 desktop object, or the one default device of an older SynCE), the lock through
// the connection manager's D-Bus interface, which SynCE's device information leads to.

#include "Desktop.h"

#include <mutex>
#include <string_view>
#include <vector>

#include "Link.h"
#include "Text.h"

namespace bridge {
namespace {

// The connection manager's names on the system bus, and its device interface.
constexpr const char* kManager = "org.synce.dccm";
constexpr const char* kDeviceInterface = "org.synce.dccm.Device";
constexpr int kSystemBus = 1;     // G_BUS_TYPE_SYSTEM
constexpr int kAnswerMs = 10000;  // a manager that doesn't answer within this has failed
constexpr RAPI_HRESULT kOk = 0;

// SynCE's desktop object keeps its devices without locks; one question at a time.
std::mutex g_mutex;
std::string g_chosen;  // UTF-8, empty for the default

std::u16string utf16(const char* utf8) {
    std::u32string wide;
    std::u16string out;
    if (utf8 == nullptr || !text::utf8ToUtf32(utf8, wide)) {
        return out;
    }
    for (char32_t c : wide) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

bool utf8(const char16_t* text, std::string& out) {
    out.clear();
    return text == nullptr || text::utf16ToUtf8(text, out);
}

// Whether the system bus, where the connection manager lives, can be reached: SynCE's desktop
// object uses a freed error when it can't (and crashes).
bool systemBus(const SynceLibrary& s) {
    if (!s.hasDbus()) {
        return false;
    }
    void* error = nullptr;
    void* bus = s.g_bus_get_sync(kSystemBus, nullptr, &error);
    if (error != nullptr) {
        s.g_error_free(error);
    }
    if (bus == nullptr) {
        return false;
    }
    s.g_object_unref(bus);
    return true;
}

// The attached handhelds' names, in the manager's order (its first is SynCE's default).
std::vector<std::u16string> handhelds(const SynceLibrary& s) {
    std::vector<std::u16string> names;
    const GlibContext glib(s);
    const bool desktopObject = s.IRAPIDesktop_Get != nullptr && s.IRAPIDesktop_EnumDevices &&
                               s.IRAPIDesktop_Release && s.IRAPIEnumDevices_Next &&
                               s.IRAPIEnumDevices_Release && s.IRAPIDevice_get_name;
    void* desktop = nullptr;
    if (desktopObject) {
        if (!systemBus(s) || s.IRAPIDesktop_Get(&desktop) != kOk) {
            return names;
        }
        void* devices = nullptr;
        if (s.IRAPIDesktop_EnumDevices(desktop, &devices) == kOk) {
            void* device = nullptr;
            while (s.IRAPIEnumDevices_Next(devices, &device) == kOk) {
                if (const std::u16string name = utf16(s.IRAPIDevice_get_name(device));
                    !name.empty()) {
                    names.push_back(name);
                }
            }
            s.IRAPIEnumDevices_Release(devices);
        }
        s.IRAPIDesktop_Release(desktop);
    } else if (s.synce_info_new != nullptr && s.synce_info_get_name && s.synce_info_destroy) {
        // An older SynCE knows only its default device.
        if (void* info = s.synce_info_new(nullptr)) {
            const std::u16string name = utf16(s.synce_info_get_name(info));
            if (!name.empty()) {
                names.push_back(name);
            }
            s.synce_info_destroy(info);
        }
    }
    return names;
}

// One call of the chosen handheld's device object, with one string argument or none; its reply
// (to be unreferenced), or null.
void* askDevice(const SynceLibrary& s, const char* method, const char* argument = nullptr) {
    if (!s.hasDbus() || s.synce_info_new == nullptr || s.synce_info_get_object_path == nullptr ||
        s.synce_info_destroy == nullptr) {
        return nullptr;
    }
    void* info = s.synce_info_new(g_chosen.empty() ? nullptr : g_chosen.c_str());
    const char* path = info != nullptr ? s.synce_info_get_object_path(info) : nullptr;
    void* reply = nullptr;
    void* error = nullptr;
    if (path != nullptr) {
        if (void* bus = s.g_bus_get_sync(kSystemBus, nullptr, &error)) {
            void* parameters = argument != nullptr ? s.g_variant_new("(s)", argument) : nullptr;
            reply =
                s.g_dbus_connection_call_sync(bus, kManager, path, kDeviceInterface, method,
                                              parameters, nullptr, 0, kAnswerMs, nullptr, &error);
            s.g_object_unref(bus);
        }
    }
    if (error != nullptr) {
        s.g_error_free(error);
    }
    if (info != nullptr) {
        s.synce_info_destroy(info);
    }
    return reply;
}

// The chosen handheld's password state as the manager names it ("unset", "provide",
// "provide-on-device", "checking", "unlocked"); empty when it can't be asked.
std::string passwordFlags(const SynceLibrary& s) {
    std::string flags;
    if (void* reply = askDevice(s, "GetPasswordFlags")) {
        char* text = nullptr;
        s.g_variant_get(reply, "(s)", &text);
        flags = text != nullptr ? text : "";
        s.g_free(text);
        s.g_variant_unref(reply);
    }
    return flags;
}

}  // namespace

RAPI_DWORD listHandhelds(char16_t* names, RAPI_DWORD cch) {
    const SynceLibrary* s = synce();
    if (s == nullptr) {
        return 0;
    }
    std::lock_guard lock(g_mutex);
    const std::vector<std::u16string> found = handhelds(*s);
    if (found.empty()) {
        return 0;
    }
    std::u16string list;
    for (const std::u16string& name : found) {
        list += name;
        list.push_back(u'\0');
    }
    list.push_back(u'\0');
    if (names != nullptr && list.size() <= cch) {
        list.copy(names, list.size());
    }
    return static_cast<RAPI_DWORD>(list.size());
}

RAPI_BOOL chooseHandheld(const char16_t* name) {
    const SynceLibrary* s = synce();
    std::lock_guard lock(g_mutex);
    if (name == nullptr || *name == u'\0') {
        g_chosen.clear();
        return 1;
    }
    std::string wanted;
    if (s != nullptr && utf8(name, wanted)) {
        for (const std::u16string& found : handhelds(*s)) {
            if (found == name) {
                g_chosen = wanted;
                return 1;
            }
        }
    }
    setOwnError(ERROR_FILE_NOT_FOUND);
    return 0;
}

std::string chosenHandheld() {
    std::lock_guard lock(g_mutex);
    return g_chosen;
}

RAPI_BOOL chosenHandheldLocked() {
    const SynceLibrary* s = synce();
    if (s == nullptr) {
        return 0;
    }
    std::lock_guard lock(g_mutex);
    const GlibContext glib(*s);
    const std::string flags = passwordFlags(*s);
    return flags == "provide" || flags == "provide-on-device" ? 1 : 0;
}

RAPI_BOOL unlockChosenHandheld(const char16_t* password) {
    const SynceLibrary* s = synce();
    std::string pin;
    if (s == nullptr || !utf8(password, pin)) {
        setOwnError(s == nullptr ? ERROR_DEVICE_NOT_CONNECTED : ERROR_INVALID_PASSWORD);
        return 0;
    }
    std::lock_guard lock(g_mutex);
    const GlibContext glib(*s);
    const std::string flags = passwordFlags(*s);
    if (flags == "unset" || flags == "unlocked") {
        return 1;  // nothing to give
    }
    if (flags != "provide") {
        // Asked on the handheld itself, being checked, or no manager to ask.
        setOwnError(flags.empty() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_ACCESS_DENIED);
        return 0;
    }
    void* reply = askDevice(*s, "ProvidePassword", pin.c_str());
    int accepted = 0;
    if (reply != nullptr) {
        s->g_variant_get(reply, "(b)", &accepted);
        s->g_variant_unref(reply);
    }
    if (accepted == 0) {
        setOwnError(reply != nullptr ? ERROR_INVALID_PASSWORD : ERROR_DEVICE_NOT_CONNECTED);
        return 0;
    }
    return 1;
}

}  // namespace bridge
