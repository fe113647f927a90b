#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace platform::engine {

// The password in a connect string such as ";pwd=secret": the value of the
// "pwd" entry (key in any letter case), as UTF-8. No entry, or an empty
// value, means no password.
std::optional<QByteArray> passwordOf(const QString& connect);

// Whether a destination locale asks for the ordering the copy keeps anyway:
// the general one, ";LANGID=0x0409;CP=1252;COUNTRY=0" (letter case and the
// leading ";" free). SQLite files carry no locale, so no other can be honoured.
bool isGeneralLocale(const QString& locale);

}  // namespace platform::engine
