#pragma once

#include <QString>
#include <vector>

#include "sample/SampleDatabase.h"

namespace sample {

// One session folder to lay out, with its database.
struct Session {
    QString key = QStringLiteral("2024");
    QString schoolCode = QStringLiteral("ABC1234");
    DatabaseOptions database;
    // Pages of the database to overwrite with garbage; 0 leaves it sound.
    int damagedPages = 0;
};

// Lays out the product's data root under a drive's host directory:
// <drive>/DATA-TINJARA-SM$/DataSesi<key>-SM-<code>/TinjaraSM<key>.tnjra for
// each session. Returns the host path of each database made, in order.
std::vector<QString> layOutDataRoot(const QString& driveDirectory,
                                    const std::vector<Session>& sessions);

// Makes a Wine prefix whose drive C: is <prefix>/drive_c (the link
// <prefix>/dosdevices/c: points there) and returns the drive's directory.
QString layOutWinePrefix(const QString& prefix);

}  // namespace sample
