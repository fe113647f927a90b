#include "repair/RunMessages.h"

#include "repair/DataLayout.h"

namespace repair::messages {

using platform::joinPrompt;
using platform::Message;
using platform::MessageIcon;

Message codeMissing() {
    return {joinPrompt({QStringLiteral("Kod sekolah belum dimasukkan"),
                        QStringLiteral("Sila masukkan kod sekolah")}),
            MessageIcon::Warning, std::nullopt};
}

Message duplicateSessionFolder(const QString& folderName) {
    return {
        joinPrompt({QStringLiteral("Terdapat folder data yang berulang dalam ") + layout::DataRoot,
                    QStringLiteral("Antaranya : ") + folderName,
                    QStringLiteral("Sila hapus folder data yang lebih lama tarikhnya")}),
        MessageIcon::Warning, QStringLiteral("RALAT FOLDER DATA BERULANG")};
}

Message noSessionFolder() {
    return {
        joinPrompt({QStringLiteral("Tiada sebarang folder data dijumpai dalam ") + layout::DataRoot,
                    QStringLiteral("Sila masukkan folder data ke dalam ") + layout::DataRoot}),
        MessageIcon::Warning, QStringLiteral("RALAT TIADA FOLDER DATA")};
}

Message databaseNotFound(const QString& key) {
    return {joinPrompt({layout::DatabaseDisplayName(key) + QStringLiteral(" TIDAK ditemui"),
                        QStringLiteral("Compact and Repair GAGAL")}),
            MessageIcon::Critical, QString()};
}

Message repairSucceeded() {
    return {joinPrompt({QStringLiteral("Compact and Repair BERJAYA"),
                        QStringLiteral("Sila mulakan Tinjara seperti biasa")}),
            MessageIcon::Information, QString()};
}

Message repairSucceededKeepingOriginal(const QString& keptName, const QString& reportName) {
    return {joinPrompt({QStringLiteral("Compact and Repair BERJAYA"),
                        QStringLiteral("Sila mulakan Tinjara seperti biasa"),
                        QStringLiteral("Sebahagian data yang rosak tidak dapat dipulihkan."),
                        QStringLiteral("Fail asal disimpan sebagai ") + keptName,
                        QStringLiteral("Senarai data yang hilang disimpan dalam ") + reportName}),
            MessageIcon::Information, QString()};
}

Message repairFailed(std::int32_t number, const QString& description) {
    return {joinPrompt({QStringLiteral("Compact and Repair TIDAK BERJAYA"),
                        QStringLiteral("Err.Number = ") + QString::number(number),
                        QStringLiteral("Err.Description = ") + description,
                        QStringLiteral("Sila hubungi ") + SupportContact +
                            QStringLiteral(" untuk bantuan")}),
            MessageIcon::Warning, std::nullopt};
}

}  // namespace repair::messages
