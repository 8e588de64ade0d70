// Loads SynCE's library once, by its names old and new, and binds its functions by name.

#include <dlfcn.h>

#include <initializer_list>

#include "SynceAbi.h"

namespace bridge {
namespace {

template <typename Fn>
bool bind(void* library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    return slot != nullptr;
}

const SynceLibrary* load() {
    for (const char* name : {"libsynce.so.0", "librapi.so.2"}) {
        void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            continue;
        }
        // Looked up in SynCE and the libraries it depends on (GLib and GIO among them).
        SynceLibrary s;
        bool ok = true;
#define SYNCE_BIND_CONTRACT(name, ...) bind(library, #name, s.name);
        RAPI_DEVICE_FUNCTIONS(SYNCE_BIND_CONTRACT)
#undef SYNCE_BIND_CONTRACT
#define SYNCE_BIND_OWN(name, type, required) \
    ok = (bind(library, #name, s.name) || !(required)) && ok;
        SYNCE_OWN_FUNCTIONS(SYNCE_BIND_OWN)
#undef SYNCE_BIND_OWN
        if (!ok || !complete(s)) {
            dlclose(library);
            continue;
        }
        // Kept for the life of the process: a connect worker may still be inside it at exit.
        return new SynceLibrary(s);
    }
    return nullptr;
}

}  // namespace

const SynceLibrary* synce() {
    static const SynceLibrary* const loaded = load();
    return loaded;
}

}  // namespace bridge
