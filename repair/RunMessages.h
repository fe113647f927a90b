#pragma once

#include <QString>
#include <cstdint>

#include "platform/Message.h"

// Every message the repair run shows, with its exact text, icon and title.
namespace repair::messages {

platform::Message codeMissing();
platform::Message duplicateSessionFolder(const QString& folderName);
platform::Message noSessionFolder();
platform::Message databaseNotFound(const QString& key);
platform::Message repairSucceeded();
// After a repair that lost data: the usual two paragraphs, then where the
// damaged original is kept.
platform::Message repairSucceededKeepingOriginal(const QString& keptName,
                                                 const QString& reportName);
platform::Message repairFailed(std::int32_t number, const QString& description);

// The support desk named in the failure message.
inline const QString SupportContact = QStringLiteral("sokongan@tinjara.com.my");

}  // namespace repair::messages
