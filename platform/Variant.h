#pragma once

#include <QString>
#include <cstdint>
#include <variant>

namespace platform {

// A late-bound argument or result: missing, a 16-bit or 32-bit integer, a
// boolean, or text.
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

    std::variant<Missing, std::int16_t, std::int32_t, bool, QString> value_;
};

}  // namespace platform
