#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorix::pelmo::utils {

// The name table of one enumeration, in the order of its numeric values. Specialised next to
// each enumeration's names.
template <typename T>
struct EnumNames;

// String table of an enumeration: one process-wide map per type, filled once by the first
// constructed EnumUtils<T>. Classes that convert enumerations hold an instance as a member, so
// the table is filled before they use it. Thread rule: construction and look-ups may run on
// any thread; the fill is guarded by a once-flag and the map is never written afterwards.
template <typename T>
class EnumUtils {
public:
    EnumUtils() {
        std::call_once(mFilled, [] {
            mMap.max_load_factor(1.0f);
            for (const auto& [name, value] : EnumNames<T>::entries()) mMap.emplace(name, value);
        });
    }

    size_t count() const { return mMap.size(); }

    std::string to_string(const T& value) const {
        for (const auto& [name, candidate] : mMap) {
            if (candidate == value) return name;
        }
        throw std::runtime_error("Requested enum value not found.");
    }

    T parse(const std::string& name) const {
        auto it = mMap.find(name);
        if (it == mMap.end()) {
            throw std::invalid_argument("Could not parse value '" + name + "' to enum");
        }
        return it->second;
    }

private:
    inline static std::once_flag mFilled;
    inline static std::unordered_map<std::string, T> mMap;
};

}  // namespace quorix::pelmo::utils
