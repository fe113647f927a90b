#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <variant>

namespace platform {

class AutomationObject;

// A late-bound argument or result: missing, a 16-bit or 32-bit integer, a
// boolean, text, or an object (a property that returns a collection).
class Variant {
  public:
    struct Missing {
        bool operator==(const Missing&) const = default;
    };

    Variant() = default;
    static Variant missing() { return Variant(); }
    static Variant int16(std::int16_t v) { return Variant(v); }
    static Variant int32(std::int32_t v) { return Variant(v); }
    static Variant boolean(bool v) { return Variant(v); }
    static Variant text(QString v) { return Variant(std::move(v)); }
    static Variant object(std::shared_ptr<AutomationObject> v) { return Variant(std::move(v)); }

    bool isMissing() const { return std::holds_alternative<Missing>(value_); }
    template <typename T>
    bool holds() const {
        return std::holds_alternative<T>(value_);
    }
    template <typename T>
    const T& get() const {
        return std::get<T>(value_);
    }

    bool operator==(const Variant&) const = default;

  private:
    template <typename T>
    explicit Variant(T v) : value_(std::move(v)) {}

    std::variant<Missing, std::int16_t, std::int32_t, bool, QString,
                 std::shared_ptr<AutomationObject>>
        value_;
};

}  // namespace platform
