#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace platform {

// The platform's standard message-box icons, by their numeric values.
enum class MessageIcon { Critical = 16, Warning = 48, Information = 64 };

// One modal message box with a single OK button. A title of std::nullopt
// shows the application title; an empty title shows an empty title bar.
struct Message {
    QString prompt;
    MessageIcon icon = MessageIcon::Information;
    std::optional<QString> title;

    bool operator==(const Message&) const = default;
};

// Joins prompt pieces with a blank line (CR LF CR LF) between them.
inline QString joinPrompt(const QStringList& pieces) {
    return pieces.join(QStringLiteral("\r\n\r\n"));
}

// The report of a failure that reached no failure path, as the original
// platform shows an unhandled run-time error.
inline Message runtimeErrorMessage(std::int32_t number, const QString& description) {
    return Message{joinPrompt({QStringLiteral("Run-time error '%1':").arg(number), description}),
                   MessageIcon::Critical, std::nullopt};
}

}  // namespace platform
