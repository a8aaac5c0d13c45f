#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tessaron::core {

// The application-wide preference store, as the core sees it: string values
// under fixed keys. The app layer backs it with QSettings; tests use the
// in-memory one.
class PreferenceStore {
public:
    virtual ~PreferenceStore() = default;
    virtual std::optional<std::string> string(const std::string& key) const = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
};

class InMemoryPreferenceStore : public PreferenceStore {
public:
    std::optional<std::string> string(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        auto found = values_.find(key);
        if (found == values_.end()) return std::nullopt;
        return found->second;
    }
    void setString(const std::string& key, const std::string& value) override {
        std::lock_guard lock(mutex_);
        values_[key] = value;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

}  // namespace tessaron::core
