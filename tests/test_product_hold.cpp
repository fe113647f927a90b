#include <signal.h>

#include <QProcess>
#include <QStandardPaths>

#include "tests/RepairFixture.h"

using repair::Outcome;

namespace {

// Debian's sqlcipher shell, the product's stand-in, on a database. Its stdin
// stays open, so it keeps the database as the statements left it.
class Product {
  public:
    Product(const QString& tool, const QString& database) {
        shell_.setProcessChannelMode(QProcess::MergedChannels);
        shell_.start(tool, {database});
        EXPECT_TRUE(shell_.waitForStarted());
        run("PRAGMA key = '" + QByteArray(sample::kPassword) + "';");
    }
    ~Product() { quit(); }

    // Runs statements to their end; returns what the shell printed.
    QByteArray run(const QByteArray& statements) {
        const QByteArray marker = "done-" + QByteArray::number(++runs_);
        shell_.write(statements + "\nSELECT '" + marker + "';\n");
        QByteArray out;
        while (!out.contains(marker) && shell_.waitForReadyRead(60000)) out += shell_.readAll();
        EXPECT_TRUE(out.contains(marker)) << "the product did not answer";
        return out;
    }
    bool runs(const QByteArray& statements) {
        const QByteArray out = run(statements);
        EXPECT_FALSE(out.contains("Error")) << out.toStdString();
        return !out.contains("Error");
    }
    void quit() {
        shell_.closeWriteChannel();
        shell_.waitForFinished(60000);
    }
    void die() {
        ::kill(pid_t(shell_.processId()), SIGKILL);
        shell_.waitForFinished(60000);
    }
    QString holder() const {
        return QStringLiteral("in use by sqlcipher (pid %1)").arg(shell_.processId());
    }

  private:
    QProcess shell_;
    int runs_ = 0;
};

struct Hold {
    const char* name;
    QByteArray statements;
    QByteArray commit;  // commits exactly one row
};

void PrintTo(const Hold& hold, std::ostream* out) {
    *out << hold.name;
}

const QByteArray kCommit = "INSERT INTO audit (at, what) VALUES ('now', 'after the run');";

// The ways the product holds its database, as measured.
const Hold kHolds[] = {
    {"WriteTransaction", "BEGIN; " + kCommit, "COMMIT;"},
    {"ReadTransaction", "BEGIN; SELECT count(*) FROM students;", kCommit + " COMMIT;"},
    {"WalIdle", "PRAGMA journal_mode = WAL; SELECT count(*) FROM students;", kCommit},
    {"RollbackIdle", "SELECT count(*) FROM students;", kCommit},
};

class ProductHold : public RepairFixture {
  protected:
    void SetUp() override {
        RepairFixture::SetUp();
        tool = QStandardPaths::findExecutable("sqlcipher");
        if (tool.isEmpty()) GTEST_SKIP() << "no sqlcipher tool (package sqlcipher)";
    }
    std::int64_t auditRows() const { return sample::rowCount(drive.host(kDatabase), "audit"); }

    QString tool;
};

class ProductHolding : public ProductHold, public ::testing::WithParamInterface<Hold> {};

TEST_P(ProductHolding, TheRunChangesNothingAndTheProductsLaterCommitIsKept) {
    const std::int64_t rows = auditRows();
    Product product(tool, drive.host(kDatabase));
    ASSERT_TRUE(product.runs(GetParam().statements));
    const QByteArray bytes = drive.readFile(kDatabase);
    const QStringList files = sessionFiles();

    EXPECT_EQ(runWith(services()), Outcome::RepairFailed);
    EXPECT_TRUE(message().prompt.contains("Err.Number = 3356")) << message().prompt.toStdString();
    EXPECT_TRUE(message().prompt.contains(product.holder())) << message().prompt.toStdString();
    EXPECT_TRUE(drive.readFile(kDatabase) == bytes) << "the database changed";
    EXPECT_EQ(sessionFiles(), files);

    EXPECT_TRUE(product.runs(GetParam().commit));
    product.quit();
    EXPECT_EQ(auditRows(), rows + 1);
}

TEST_P(ProductHolding, AfterTheHolderDiesTheNextRunSucceeds) {
    Product product(tool, drive.host(kDatabase));
    ASSERT_TRUE(product.runs(GetParam().statements));
    product.die();

    EXPECT_EQ(runWith(services()), Outcome::RepairSucceeded) << message().prompt.toStdString();
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(digest(kDatabase), originalDigest) << "nothing it committed, nothing it did not";
}

INSTANTIATE_TEST_SUITE_P(Holds, ProductHolding, ::testing::ValuesIn(kHolds),
                         [](const auto& info) { return std::string(info.param.name); });

// Once the engine has locked the database nobody gets in: a product started
// just before the swap is told the database is locked. If it keeps the file
// open the swap is refused; if it gives up, the swap goes ahead and nothing
// it was told had been written is lost.
TEST_F(ProductHold, AProductStartedDuringTheRunNeverWritesIntoTheReplacedFile) {
    const std::int64_t rows = auditRows();
    std::unique_ptr<Product> latecomer;
    QByteArray told;
    bool keepOpen = true;
    auto beforeTheSwap = [&](const QString& operation, const QString& argument) {
        if (operation != "DeleteFile" || !argument.endsWith("\\TinjaraSM2024.tnjra")) return;
        latecomer = std::make_unique<Product>(tool, drive.host(kDatabase));
        told = latecomer->run(kCommit);
        if (!keepOpen) latecomer->quit();
    };

    EXPECT_EQ(runWith(services(beforeTheSwap)), Outcome::RepairFailed);
    EXPECT_TRUE(told.contains("database is locked")) << told.toStdString();
    EXPECT_TRUE(message().prompt.contains("Err.Number = 70")) << message().prompt.toStdString();
    EXPECT_TRUE(message().prompt.contains(latecomer->holder())) << message().prompt.toStdString();
    EXPECT_TRUE(drive.readFile(kDatabase) == originalBytes) << "the database changed";
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_TRUE(latecomer->runs(kCommit)) << "the run let go of the database";
    latecomer->quit();
    EXPECT_EQ(auditRows(), rows + 1);

    const QByteArray committed = digest(kDatabase);
    keepOpen = false;
    told.clear();
    EXPECT_EQ(runWith(services(beforeTheSwap)), Outcome::RepairSucceeded)
        << message().prompt.toStdString();
    EXPECT_TRUE(told.contains("database is locked")) << told.toStdString();
    EXPECT_EQ(digest(kDatabase), committed);
}

}  // namespace
