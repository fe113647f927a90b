#include "platform/engine/ConnectString.h"
#include "tests/EngineTestSupport.h"

namespace {

using platform::Variant;

class AutomationEngine : public engine_test::EngineTest {
  protected:
    int call(const QString& method, std::vector<Variant> arguments) {
        return failureOf([&] { engine()->invoke(method, arguments); });
    }
    static Variant text(const char* value) { return Variant::text(QString::fromUtf8(value)); }
};

TEST_F(AutomationEngine, ClassesAreCreatedByNameInAnyCaseAndUnknownOnesRefused) {
    EXPECT_NE(classes_.createObject(QStringLiteral("dao.dbengine.36")), nullptr);
    EXPECT_EQ(failureOf([&] { classes_.createObject(QStringLiteral("DAO.DBEngine.120")); }), 429);
}

TEST_F(AutomationEngine, MethodsAreFoundByNameInAnyCase) {
    // Reaching the engine's own "file not found" shows the call was made.
    const std::vector<Variant> missingFile = {text("C:\\db\\none.tnjra"), text("C:\\db\\b.tnjra")};
    EXPECT_EQ(call(QStringLiteral("compactdatabase"), missingFile), 3024);
    EXPECT_EQ(call(QStringLiteral("COMPACTDATABASE"), missingFile), 3024);
    EXPECT_EQ(call(QStringLiteral("RepairDatabase"), missingFile), 438);
    EXPECT_EQ(call(QStringLiteral("CompactDatabase "), missingFile), 438);
}

TEST_F(AutomationEngine, ArgumentsAreCheckedBeforeAnyFileIsTouched) {
    const Variant source = text("C:\\db\\none.tnjra");
    const Variant destination = text("C:\\db\\b.tnjra");
    const Variant none = Variant::missing();
    EXPECT_EQ(call("CompactDatabase", {}), 449);
    EXPECT_EQ(call("CompactDatabase", {source}), 449);
    EXPECT_EQ(call("CompactDatabase", {none, destination}), 449);
    EXPECT_EQ(call("CompactDatabase", {Variant::int16(1), destination}), 13);
    EXPECT_EQ(call("CompactDatabase", {source, Variant::boolean(true)}), 13);
    EXPECT_EQ(call("CompactDatabase", {source, destination, Variant::int16(0)}), 13);
    EXPECT_EQ(call("CompactDatabase", {source, destination, none, text("128")}), 13);
    EXPECT_EQ(call("CompactDatabase", {source, destination, none, none, Variant::int32(1)}), 13);
    EXPECT_EQ(call("CompactDatabase", {source, destination, none, none, none, none}), 450);
    // Both integer kinds serve for Options.
    EXPECT_EQ(call("CompactDatabase", {source, destination, none, Variant::int16(128)}), 3024);
    EXPECT_EQ(call("CompactDatabase", {source, destination, none, Variant::int32(128)}), 3024);
}

TEST(AutomationConnectString, PasswordIsThePwdEntry) {
    using platform::engine::passwordOf;
    EXPECT_EQ(passwordOf(";pwd=Wq7#Lm.2%x"), QByteArray("Wq7#Lm.2%x"));
    EXPECT_EQ(passwordOf(";PWD=a=b"), QByteArray("a=b"));
    EXPECT_EQ(passwordOf("MS Access;pwd=x;"), QByteArray("x"));
    EXPECT_EQ(passwordOf("uid=admin;pwd=x"), QByteArray("x"));
    EXPECT_EQ(passwordOf(";pwd="), std::nullopt);
    EXPECT_EQ(passwordOf(QString()), std::nullopt);
}

TEST(AutomationConnectString, OnlyTheGeneralLocaleIsAccepted) {
    using platform::engine::isGeneralLocale;
    EXPECT_TRUE(isGeneralLocale(";LANGID=0x0409;CP=1252;COUNTRY=0"));
    EXPECT_TRUE(isGeneralLocale("langid=0x0409;cp=1252;country=0"));
    EXPECT_FALSE(isGeneralLocale(";LANGID=0x0419;CP=1251;COUNTRY=0"));
    EXPECT_FALSE(isGeneralLocale(";LANGID=0x0409;CP=1252"));
    EXPECT_FALSE(isGeneralLocale(QString()));
}

}  // namespace
