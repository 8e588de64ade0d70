#pragma once

// Failure injection shared by the fakes: a call named here throws on its n-th use (or on
// every use), and every use is counted.

#include <map>
#include <string>

class FailureScript {
public:
    // The call `name` throws on its nth use (1-based); nth 0 makes it throw on every use.
    void ThrowOn(const std::string& name, int nth = 0) { throws_[name] = nth; }
    void Clear() { throws_.clear(); }

    // How often `name` has been called so far.
    int Count(const std::string& name) const {
        const auto it = counts_.find(name);
        return it == counts_.end() ? 0 : it->second;
    }

    // Counts one use of `name`; true when this use is to throw.
    bool Use(const std::string& name) {
        const int n = ++counts_[name];
        const auto it = throws_.find(name);
        return it != throws_.end() && (it->second == 0 || it->second == n);
    }

private:
    std::map<std::string, int> throws_;
    std::map<std::string, int> counts_;
};
