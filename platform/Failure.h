#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace platform {

// A failure raised by a platform operation: the run-time error number and its
// description, carried unchanged to the run's one failure path.
class Failure : public std::exception {
  public:
    Failure(std::int32_t number, QString description)
        : number_(number),
          description_(std::move(description)),
          what_(std::to_string(number) + ": " + description_.toStdString()) {}

    std::int32_t number() const noexcept { return number_; }
    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return what_.c_str(); }

  private:
    std::int32_t number_;
    QString description_;
    std::string what_;
};

}  // namespace platform
