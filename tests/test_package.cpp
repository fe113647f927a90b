// The Debian package as built by cpack (the package_build fixture), the
// program icon, and the Windows resource script made from the same identity.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtEndian>

#include "tests/QStringPrinter.h"

// For the messages of failed checks; found by argument lookup, so global.
inline std::ostream& operator<<(std::ostream& out, const QString& text) {
    return out << text.toStdString();
}

namespace {

const QString Program = QStringLiteral("CompactAndRepair_TinjaraSM20xxTnjra");
const QString PackageName = QStringLiteral("compactandrepair-tinjarasm20xxtnjra");

struct Output {
    int exitCode = -1;
    QString out;
    QString err;
};

Output run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    Output result;
    if (!process.waitForFinished(60000)) {
        result.err = program + QStringLiteral(": ") + process.errorString();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString packageFile() {
    const Output arch = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    return QStringLiteral(PACKAGE_DIR "/%1_1.00_%2.deb").arg(PackageName, arch.out.trimmed());
}

QString field(const QString& deb, const QString& name) {
    const Output result = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), deb, name});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out.trimmed();
}

// "libc6 (>= 2.34), libxcb1 | other" -> {"libc6", "libxcb1", "other"}
QSet<QString> dependencyNames(const QString& depends) {
    QSet<QString> names;
    for (const QString& alternative : depends.split(QRegularExpression(QStringLiteral("[,|]"))))
        names.insert(alternative.trimmed().section(QLatin1Char(' '), 0, 0));
    return names;
}

class Package : public ::testing::Test {
  protected:
    void SetUp() override {
        deb = packageFile();
        ASSERT_TRUE(QFile::exists(deb)) << deb << " is missing: the package_build test makes it";
    }
    // Unpacks the package's files into root, as dpkg would install them.
    void extract() {
        ASSERT_TRUE(root.isValid());
        const Output result =
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb, root.path()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }
    QString deb;
    QTemporaryDir root;
};

const QList<int> IconSizes = {16, 32, 48, 64, 128, 256};

TEST_F(Package, ControlFieldsNameTheProgramAndItsRuntime) {
    EXPECT_EQ(field(deb, QStringLiteral("Package")), PackageName);
    EXPECT_EQ(field(deb, QStringLiteral("Version")), QStringLiteral("1.00"));
    EXPECT_EQ(field(deb, QStringLiteral("Section")), QStringLiteral("utils"));
    EXPECT_TRUE(field(deb, QStringLiteral("Maintainer")).contains(QLatin1Char('@')));
    const QString description = field(deb, QStringLiteral("Description"));
    EXPECT_TRUE(description.startsWith(QStringLiteral("Compact and repair"))) << description;
    for (const QString& line : description.split(QLatin1Char('\n')))
        EXPECT_LE(line.size(), 80) << line;

    // The program's own libraries (found by dpkg-shlibdeps), the X11 client
    // library it writes message-box titles with, and the font standing in for Arial.
    const QSet<QString> depends = dependencyNames(field(deb, QStringLiteral("Depends")));
    for (const char* needed : {"libqt6core6", "libqt6gui6", "libqt6widgets6", "libssl3", "libxcb1",
                               "libc6", "libstdc++6", "fonts-liberation"})
        EXPECT_TRUE(depends.contains(QLatin1String(needed))) << needed;
}

TEST_F(Package, HoldsTheProgramItsDesktopEntryAndIconsOnly) {
    const Output contents = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), deb});
    ASSERT_EQ(contents.exitCode, 0) << contents.err;
    QSet<QString> files;
    QString programMode;
    for (const QString& line : contents.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1Char('d'))) continue;
        const QString path = line.section(QLatin1Char(' '), -1);
        files.insert(path);
        if (path.endsWith(QLatin1Char('/') + Program)) programMode = line.left(10);
    }
    const QString doc = QStringLiteral("./usr/share/doc/") + PackageName;
    QSet<QString> expected = {
        QStringLiteral("./usr/bin/") + Program,
        QStringLiteral("./usr/share/applications/") + PackageName + QStringLiteral(".desktop"),
        QStringLiteral("./usr/share/icons/hicolor/scalable/apps/") + PackageName +
            QStringLiteral(".svg"),
        QStringLiteral("./usr/share/man/man1/") + Program + QStringLiteral(".1.gz"),
        doc + QStringLiteral("/copyright"),
        doc + QStringLiteral("/changelog.gz"),
    };
    for (int size : IconSizes)
        expected.insert(QStringLiteral("./usr/share/icons/hicolor/%1x%1/apps/%2.png")
                            .arg(size)
                            .arg(PackageName));
    EXPECT_EQ(files, expected) << contents.out;  // no tools, tests, libraries or headers
    EXPECT_EQ(programMode, QStringLiteral("-rwxr-xr-x"));
}

TEST_F(Package, InstalledDesktopEntryStartsTheInstalledProgramWithItsIcon) {
    ASSERT_NO_FATAL_FAILURE(extract());

    const QString entryPath = root.filePath(QStringLiteral("usr/share/applications/") +
                                            PackageName + QStringLiteral(".desktop"));
    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    ASSERT_FALSE(validator.isEmpty()) << "desktop-file-utils is not installed (scripts/setup.sh)";
    const Output validation = run(validator, {entryPath});
    EXPECT_EQ(validation.exitCode, 0) << validation.out << validation.err;
    EXPECT_FALSE(validation.out.contains(QStringLiteral("error"))) << validation.out;

    QFile entryFile(entryPath);
    ASSERT_TRUE(entryFile.open(QIODevice::ReadOnly));
    QMap<QString, QString> entry;
    for (const QString& line : QString::fromUtf8(entryFile.readAll()).split(QLatin1Char('\n')))
        if (line.contains(QLatin1Char('=')))
            entry.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    EXPECT_EQ(entry.value(QStringLiteral("Terminal")), QStringLiteral("false"));
    EXPECT_TRUE(entry.contains(QStringLiteral("Comment[ms]")));
    // Exec names a program on PATH that the package puts there.
    const QString command = entry.value(QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0);
    EXPECT_TRUE(QFileInfo(root.filePath(QStringLiteral("usr/bin/") + command)).isExecutable())
        << command;
    // The window's WM_CLASS is the application name; desktops match it to the entry.
    EXPECT_EQ(entry.value(QStringLiteral("StartupWMClass")), Program);

    const QString icon = entry.value(QStringLiteral("Icon"));
    for (int size : IconSizes) {
        const QString file = root.filePath(
            QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon));
        const QImage image(file);
        EXPECT_FALSE(image.isNull()) << file;
        EXPECT_EQ(image.size(), QSize(size, size)) << file;
        EXPECT_TRUE(image.hasAlphaChannel()) << file;
    }
    // The scalable icon: well-formed SVG on the artwork's 32-unit grid.
    QFile svg(
        root.filePath(QStringLiteral("usr/share/icons/hicolor/scalable/apps/%1.svg").arg(icon)));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly)) << svg.fileName();
    QXmlStreamReader xml(&svg);
    ASSERT_TRUE(xml.readNextStartElement()) << xml.errorString();
    EXPECT_EQ(xml.name(), QStringLiteral("svg"));
    EXPECT_EQ(xml.attributes().value(QStringLiteral("viewBox")), QStringLiteral("0 0 32 32"));
    while (!xml.atEnd()) xml.readNext();
    EXPECT_FALSE(xml.hasError()) << xml.errorString();

    // A run path into the build folder would load the wrong libraries, or none.
    const Output dynamic =
        run(QStringLiteral("readelf"),
            {QStringLiteral("-d"), root.filePath(QStringLiteral("usr/bin/") + Program)});
    ASSERT_EQ(dynamic.exitCode, 0) << dynamic.err;
    EXPECT_FALSE(dynamic.out.contains(QStringLiteral("RPATH"))) << dynamic.out;
    EXPECT_FALSE(dynamic.out.contains(QStringLiteral("RUNPATH"))) << dynamic.out;
}

// Debian's own package checker: an error there (a missing copyright file or
// changelog, bad permissions, a broken manual page) keeps a package out of an
// archive.
TEST_F(Package, HasNoLintianErrors) {
    const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
    if (lintian.isEmpty()) GTEST_SKIP() << "lintian is not installed";
    const Output result = run(lintian, {QStringLiteral("--fail-on"), QStringLiteral("error"), deb});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_FALSE(QRegularExpression(QStringLiteral("^E: "), QRegularExpression::MultilineOption)
                     .match(result.out)
                     .hasMatch())
        << result.out;
}

// Debian 12's C start-up files carry no control-flow marking, so no program
// built there can show it; the other checks must all pass.
TEST_F(Package, InstalledProgramIsHardened) {
    if (!PACKAGE_HARDENED) GTEST_SKIP() << "this build has no hardening flags (sanitizer or debug)";
    const QString check = QStandardPaths::findExecutable(QStringLiteral("hardening-check"));
    if (check.isEmpty()) GTEST_SKIP() << "hardening-check (devscripts) is not installed";
    ASSERT_NO_FATAL_FAILURE(extract());
    const Output result = run(check, {QStringLiteral("--nocfprotection"),
                                      root.filePath(QStringLiteral("usr/bin/") + Program)});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
}

// One image of an .ico file, as its directory entry and bitmap header give it.
struct IconImage {
    int width = 0, height = 0, directoryColours = 0, bitCount = 0;
    int transparent = 0, opaque = 0, transparentNotBlack = 0;
};

// Reads the images of an .ico file; fails the test on a broken layout.
QList<IconImage> readIcon(const QByteArray& data) {
    const auto u8 = [&](qsizetype at) { return quint8(data.at(at)); };
    const auto u16 = [&](qsizetype at) {
        return qFromLittleEndian<quint16>(data.constData() + at);
    };
    const auto u32 = [&](qsizetype at) {
        return qFromLittleEndian<quint32>(data.constData() + at);
    };
    QList<IconImage> images;
    if (data.size() < 6 || u16(0) != 0 || u16(2) != 1) {
        ADD_FAILURE() << "not an icon file";
        return images;
    }
    for (int i = 0; i < u16(4); ++i) {
        const qsizetype entry = 6 + 16 * i;
        IconImage image;
        image.width = u8(entry) ? u8(entry) : 256;
        image.height = u8(entry + 1) ? u8(entry + 1) : 256;
        image.directoryColours = u8(entry + 2);
        const quint32 size = u32(entry + 8), offset = u32(entry + 12);
        if (qsizetype(offset) + qsizetype(size) > data.size() || size < 40) {
            ADD_FAILURE() << "image " << i << " lies outside the file";
            return images;
        }
        EXPECT_EQ(qint32(u32(offset + 4)), image.width);
        EXPECT_EQ(qint32(u32(offset + 8)), 2 * image.height);  // colour bitmap and mask
        EXPECT_EQ(u16(offset + 12), 1);
        image.bitCount = u16(offset + 14);
        EXPECT_EQ(u16(entry + 6), image.bitCount) << "directory and bitmap disagree";
        if (image.bitCount > 8) {
            images.append(image);
            continue;
        }
        const int colours = 1 << image.bitCount;
        const qsizetype palette = offset + 40, pixels = palette + 4 * colours;
        const qsizetype pixelRow = (image.width * image.bitCount + 31) / 32 * 4;
        const qsizetype maskRow = (image.width + 31) / 32 * 4;
        const qsizetype mask = pixels + pixelRow * image.height;
        EXPECT_EQ(qsizetype(size), mask + maskRow * image.height - offset);
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                const int bit = (u8(mask + y * maskRow + x / 8) >> (7 - x % 8)) & 1;
                const int perByte = 8 / image.bitCount;
                const int index = (u8(pixels + y * pixelRow + x / perByte) >>
                                   (8 - image.bitCount * (x % perByte + 1))) &
                                  (colours - 1);
                const bool black = (u32(palette + 4 * index) & 0xFFFFFF) == 0;
                if (bit) {
                    ++image.transparent;
                    if (!black) ++image.transparentNotBlack;
                } else {
                    ++image.opaque;
                }
            }
        }
        images.append(image);
    }
    return images;
}

// Windows chooses among these by the screen's colour depth and icon size.
TEST(ProgramIcon, HoldsTwoColourAndSixteenColourImagesWithMasks) {
    QFile file(QStringLiteral(ICON_FILE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<IconImage> images = readIcon(file.readAll());
    ASSERT_EQ(images.size(), 3);
    const struct { int size, colours, bits; } expected[] = {{32, 2, 1}, {32, 16, 4}, {16, 16, 4}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(images[i].width, expected[i].size);
        EXPECT_EQ(images[i].height, expected[i].size);
        EXPECT_EQ(images[i].directoryColours, expected[i].colours);
        EXPECT_EQ(images[i].bitCount, expected[i].bits);
        EXPECT_GT(images[i].transparent, 0);
        EXPECT_GT(images[i].opaque, 0);
        // Windows XORs the colour over the screen where the mask is set: any
        // colour but black there shows as a smear around the artwork.
        EXPECT_EQ(images[i].transparentNotBlack, 0);
    }
}

// Compiled and read back with MinGW's resource compiler, as a Windows build
// would compile it.
TEST(WindowsResource, CarriesTheVersionRecordAndTheThreeIcons) {
    const QString windres =
        QStandardPaths::findExecutable(QStringLiteral("x86_64-w64-mingw32-windres"));
    ASSERT_FALSE(windres.isEmpty())
        << "binutils-mingw-w64-x86-64 is not installed (scripts/setup.sh)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString res = dir.filePath(QStringLiteral("program.res"));
    const Output compiled =
        run(windres, {QStringLiteral("--preprocessor=cpp"), QStringLiteral("-i"),
                      QStringLiteral(RESOURCE_SCRIPT), QStringLiteral("-o"), res});
    ASSERT_EQ(compiled.exitCode, 0) << compiled.err;
    const Output decompiled = run(windres, {QStringLiteral("-i"), res});
    ASSERT_EQ(decompiled.exitCode, 0) << decompiled.err;
    const QString& rc = decompiled.out;

    // The icon group lists the three images: width height colours, planes, bits.
    const QRegularExpression element(
        QStringLiteral(R"re("\\(\d+)\\(\d+)\\(\d+)\\000", 1, (\d+),)re"));
    QStringList icons;
    for (const auto& match : element.globalMatch(rc))
        icons << QStringLiteral("%1 %2 %3 %4")
                     .arg(match.captured(1).toInt(nullptr, 8))
                     .arg(match.captured(2).toInt(nullptr, 8))
                     .arg(match.captured(3).toInt(nullptr, 8))
                     .arg(match.captured(4));
    EXPECT_EQ(icons, QStringList({"32 32 2 1", "32 32 16 4", "16 16 16 4"})) << rc;

    const auto has = [&](const char* pattern) {
        return QRegularExpression(QLatin1String(pattern)).match(rc).hasMatch();
    };
    EXPECT_TRUE(has(R"(FILEVERSION 1, 0, 0, 0\n)")) << rc;
    EXPECT_TRUE(has(R"(PRODUCTVERSION 1, 0, 0, 0\n)")) << rc;
    EXPECT_TRUE(has(R"(FILETYPE 0x1\n)")) << rc;  // an application
    EXPECT_FALSE(has(R"(FILEFLAGS 0x[1-9a-f])")) << rc;
    EXPECT_TRUE(has(R"(BLOCK "040904B0")")) << rc;  // US English, Unicode
    EXPECT_TRUE(has(R"(VALUE "Translation", 0x409, 1200\n)")) << rc;
    EXPECT_TRUE(has(R"(VALUE "FileVersion", "1.00"\n)")) << rc;
    EXPECT_TRUE(has(R"(VALUE "ProductVersion", "1.00"\n)")) << rc;
    EXPECT_TRUE(has(R"(VALUE "ProductName", "CompactAndRepair_TinjaraSM20xxTnjra"\n)")) << rc;
    EXPECT_TRUE(has(R"(VALUE "InternalName", "CompactAndRepair_TinjaraSM20xxTnjra"\n)")) << rc;
    EXPECT_TRUE(has(R"(VALUE "OriginalFilename", "CompactAndRepair_TinjaraSM20xxTnjra.exe"\n)"))
        << rc;
}

}  // namespace
