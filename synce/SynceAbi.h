#pragma once

// SynCE's Remote API library (libsynce.so.0, or the older librapi.so.2) as the bridge sees it:
// its functions, written once, and what its ABI means beyond the types.
//
// The device functions of SynCE have the contract's names, and types that are ABI-identical to
// the contract's (uint16_t strings where the contract has char16_t, uint32_t handles and BOOLs
// where it has int32_t, the same record layouts), so each is declared with the contract's
// function type. What differs is meaning, handled by the forwarding:
// - a BOOL is any non-zero value (the contract's is 1);
// - a find record is copied at whatever size the device declares (a 32-bit size);
// - a read copies as many bytes as the device says it read, whatever was asked for;
// - a transport failure shows only in SynCE's own error, the last error keeping the device's
//   last one; a call SynCE does not offer over the link's protocol fails with E_NOTIMPL there;
// - the free space call takes its folder in the locale's character set, not UTF-16.
// SynCE connects synchronously (CeRapiInit) and keeps a current connection per thread.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "rapi.h"

namespace bridge {

// The contract's records stand for SynCE's: same sizes, same places.
static_assert(sizeof(CE_FIND_DATA) == 4 + 3 * 8 + 3 * 4 + kMaxPath * 2);
static_assert(offsetof(CE_FIND_DATA, cFileName) == 40);
static_assert(sizeof(CEOSVERSIONINFO) == 5 * 4 + 128 * 2);
static_assert(sizeof(char16_t) == sizeof(uint16_t));

inline constexpr RAPI_HRESULT kNotImplemented = static_cast<RAPI_HRESULT>(0x80004001u);

// SynCE's functions beyond the contract's, with the GLib and GIO functions reached through its
// dependencies (present when SynCE asks its connection manager over D-Bus):
// X(name, type, required).
// clang-format off
#define SYNCE_OWN_FUNCTIONS(X)                                                                   \
    X(rapi_connection_from_name, void* (*)(const char*), true)                                  \
    X(rapi_connection_select, void (*)(void*), true)                                            \
    X(rapi_connection_destroy, void (*)(void*), true)                                           \
    X(rapi_connection_get_fd, int (*)(void*), false)                                            \
    X(CeRapiInit, RAPI_HRESULT (*)(), true)                                                     \
    X(IRAPIDesktop_Get, RAPI_HRESULT (*)(void**), false)                                        \
    X(IRAPIDesktop_EnumDevices, RAPI_HRESULT (*)(void*, void**), false)                         \
    X(IRAPIDesktop_Release, void (*)(void*), false)                                             \
    X(IRAPIEnumDevices_Next, RAPI_HRESULT (*)(void*, void**), false)                            \
    X(IRAPIEnumDevices_Release, void (*)(void*), false)                                         \
    X(IRAPIDevice_get_name, const char* (*)(void*), false)                                      \
    X(synce_info_new, void* (*)(const char*), false)                                            \
    X(synce_info_get_name, const char* (*)(void*), false)                                       \
    X(synce_info_get_object_path, const char* (*)(void*), false)                                \
    X(synce_info_destroy, void (*)(void*), false)                                               \
    X(g_main_context_new, void* (*)(), false)                                                   \
    X(g_main_context_push_thread_default, void (*)(void*), false)                               \
    X(g_main_context_pop_thread_default, void (*)(void*), false)                                \
    X(g_main_context_iteration, int (*)(void*, int), false)                                     \
    X(g_main_context_unref, void (*)(void*), false)                                             \
    X(g_bus_get_sync, void* (*)(int, void*, void**), false)                                     \
    X(g_dbus_connection_call_sync, void* (*)(void*, const char*, const char*, const char*,      \
                                             const char*, void*, const void*, int, int, void*,  \
                                             void**), false)                                    \
    X(g_variant_new, void* (*)(const char*, ...), false)                                        \
    X(g_variant_get, void (*)(void*, const char*, ...), false)                                  \
    X(g_variant_unref, void (*)(void*), false)                                                  \
    X(g_object_unref, void (*)(void*), false)                                                   \
    X(g_error_free, void (*)(void*), false)                                                     \
    X(g_free, void (*)(void*), false)
// clang-format on

// Every function the bridge may call, bound once for the life of the process: the contract's
// (null where SynCE lacks one) and SynCE's own.
struct SynceLibrary {
#define SYNCE_CONTRACT_SLOT(name, ...) PFN_##name name = nullptr;
    RAPI_DEVICE_FUNCTIONS(SYNCE_CONTRACT_SLOT)
#undef SYNCE_CONTRACT_SLOT
#define SYNCE_OWN_SLOT(name, type, required) std::type_identity_t<type> name = nullptr;
    SYNCE_OWN_FUNCTIONS(SYNCE_OWN_SLOT)
#undef SYNCE_OWN_SLOT

    // Whether GLib's main contexts and GIO's D-Bus calls can be used.
    bool hasContexts() const {
        return g_main_context_new != nullptr && g_main_context_push_thread_default != nullptr &&
               g_main_context_pop_thread_default != nullptr &&
               g_main_context_iteration != nullptr && g_main_context_unref != nullptr;
    }
    bool hasDbus() const {
        return g_bus_get_sync != nullptr && g_dbus_connection_call_sync != nullptr &&
               g_variant_new != nullptr && g_variant_get != nullptr && g_variant_unref != nullptr &&
               g_object_unref != nullptr && g_error_free != nullptr && g_free != nullptr;
    }
};

// SynCE's library, loaded at the first call; null when it can't be loaded or lacks a function
// that the contract needs from it.
const SynceLibrary* synce();

// Whether a loaded library has every function the forwarding needs (defined by the forwarding,
// which knows which of the contract's functions it makes itself).
bool complete(const SynceLibrary& s);

}  // namespace bridge
