#include "core/network/ExtraHosts.h"
#include "core/threads/BoundedLookup.h"
#include "port/BroadcastFanout.h"
#include "port/HostLookup.h"
#include "ui/network/ExtraHostsDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

namespace kestrane::test {
namespace {

std::vector<std::string> Dotted(std::vector<in_addr_t> addresses) {
    std::vector<std::string> dotted;
    for (in_addr_t address : addresses) {
        dotted.push_back(DottedAddress(address));
    }
    std::sort(dotted.begin(), dotted.end());
    return dotted;
}

std::vector<std::string> FanoutExtras() {
    return Dotted(BroadcastFanout::Process().ExtraDestinations());
}

QStringList Saved() {
    return QSettings("kestrane", "kestrane").value("network/extraHosts").toStringList();
}

// Settings in a folder of the test's own; the fanout's extras cleared after.
struct Hosts {
    Hosts() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path()); }
    ~Hosts() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
        BroadcastFanout::Process().SetExtraDestinations({});
    }
    std::string StatusOf(const QString& entry) const {
        for (const auto& [text, now] : hosts.Status()) {
            if (text == entry) {
                return now.toStdString();
            }
        }
        return "(absent)";
    }
    QTemporaryDir folder;
    BoundedLookup lookups;
    int applied = 0;
    ExtraHosts hosts{lookups, [this] { ++applied; }};
};

TEST(NetworkSettingsTest, ParseTakesAddressesRangesAndNamesAndSaysWhatIsWrong) {
    // `gives` is the address an entry stands for, "name" for a name to look
    // up; for a bad entry, `gives` is a word its error must hold.
    const struct {
        const char* text;
        bool good;
        const char* gives;
    } cases[] = {
        {"10.8.0.7", true, "10.8.0.7"},
        {"  192.168.7.3\t", true, "192.168.7.3"},
        {"10.20.0.0/24", true, "10.20.0.255"},
        {"10.20.0.77/24", true, "10.20.0.255"},
        {"172.16.0.0/12", true, "172.31.255.255"},
        {"10.0.0.0/8", true, "10.255.255.255"},
        {"10.8.0.7/32", true, "10.8.0.7"},
        {"pc7.branch.example", true, "name"},
        {"PC-7", true, "name"},
        {"pc7.branch.example.", true, "name"},
        {"10.8.0.7 pc7", false, "space"},
        {"300.1.1.1", false, "0 to 255"},
        {"10.1.2", false, "0 to 255"},
        {"10.0.0.0/4", false, "8 to 32"},
        {"10.0.0.0/33", false, "8 to 32"},
        {"10.0.0.0/x", false, "8 to 32"},
        {"10.0.0/24", false, "0 to 255"},
        {"0.0.0.0", false, "this machine"},
        {"255.255.255.255", false, "broadcast"},
        {"224.0.0.1", false, "multicast"},
        {"239.1.0.0/16", false, "multicast"},
        {"127.0.0.1", false, "loopback"},
        {"127.0.0.0/8", false, "loopback"},
        {"pc_7", false, "letters"},
        {"pc\u0667", false, "letters"},
        {"pc7..example", false, "empty part"},
        {"-pc7", false, "'-'"},
        {"pc7-.example", false, "'-'"},
        {"", false, "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        QString error;
        const std::optional<ExtraHosts::Entry> entry = ExtraHosts::Parse(c.text, &error);
        ASSERT_EQ(entry.has_value(), c.good) << error.toStdString();
        if (!c.good) {
            EXPECT_TRUE(error.contains(c.gives)) << error.toStdString();
        } else if (entry->address) {
            EXPECT_EQ(DottedAddress(*entry->address), c.gives);
            EXPECT_EQ(entry->text, QString(c.text).trimmed());
        } else {
            EXPECT_STREQ("name", c.gives);
        }
    }
    QString error;
    EXPECT_TRUE(ExtraHosts::Parse(QString(63, 'a') + ".example", &error));
    EXPECT_FALSE(ExtraHosts::Parse(QString(64, 'a') + ".example", &error));
    const QString longest = (QString(62, 'a') + ".").repeated(4) + "b"; // 253 characters
    EXPECT_TRUE(ExtraHosts::Parse(longest, &error));
    EXPECT_FALSE(ExtraHosts::Parse(longest + "c", &error));
}

TEST(NetworkSettingsTest, BadLineChangesNothingAGoodListIsSavedAndAppliedOncePerChange) {
    Hosts made;
    ASSERT_EQ(made.hosts.SetEntries({"# office", "10.8.0.7", "", "10.20.0.0/24"}), std::nullopt);
    EXPECT_EQ(made.applied, 1);
    EXPECT_EQ(FanoutExtras(), (std::vector<std::string>{"10.20.0.255", "10.8.0.7"}));
    const QStringList saved = {"# office", "10.8.0.7", "10.20.0.0/24"};
    EXPECT_EQ(Saved(), saved);

    const std::optional<QString> error = made.hosts.SetEntries({"10.9.0.1", "", "300.1.1.1"});
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->startsWith("Line 3: ")) << error->toStdString();
    EXPECT_EQ(Saved(), saved);
    EXPECT_EQ(made.hosts.Entries(), saved);
    EXPECT_EQ(FanoutExtras(), (std::vector<std::string>{"10.20.0.255", "10.8.0.7"}));

    QStringList tooMany;
    for (int i = 0; i <= ExtraHosts::kMostEntries; ++i) {
        tooMany.append(QStringLiteral("10.9.0.%1").arg(i + 1));
    }
    ASSERT_TRUE(made.hosts.SetEntries(tooMany));
    tooMany.removeLast();
    ASSERT_EQ(made.hosts.SetEntries(tooMany), std::nullopt);
    EXPECT_EQ(made.applied, 2);
    EXPECT_EQ(FanoutExtras().size(), 64u);

    // The same set in another order, with a note: no new hello.
    ASSERT_EQ(made.hosts.SetEntries(saved), std::nullopt);
    ASSERT_EQ(made.hosts.SetEntries({"10.20.0.0/24", "# vpn", "10.8.0.7", "10.8.0.7/32"}),
              std::nullopt);
    EXPECT_EQ(made.applied, 3);

    ExtraHosts loaded(made.lookups, {});
    loaded.Load();
    EXPECT_EQ(loaded.Entries(), made.hosts.Entries());
}

TEST(NetworkSettingsTest, NameNotFoundIsReportedAndTheOthersStillApply) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only the test's own network namespace, which needs root, keeps a "
                        "lookup of a missing name on this machine";
    }
    Hosts made;
    ASSERT_EQ(made.hosts.SetEntries({"nowhere.invalid", "localhost", "10.8.0.7"}), std::nullopt);
    EXPECT_EQ(made.StatusOf("localhost"), "looking up");
    EXPECT_EQ(made.applied, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return made.applied == 1; }, 5000));
    // A name is held to the checks a typed address gets: localhost is this machine.
    EXPECT_EQ(FanoutExtras(), (std::vector<std::string>{"10.8.0.7"}));
    EXPECT_EQ(made.StatusOf("nowhere.invalid"), "not found");
    EXPECT_NE(made.StatusOf("localhost").find("loopback"), std::string::npos);
    EXPECT_EQ(made.StatusOf("10.8.0.7"), "10.8.0.7");
}

TEST(NetworkSettingsTest, NamesGivingAddressesNoHostHasAreNotUsed) {
    Hosts made;
    // Each name resolves to the address after its "-", dashes for dots.
    ExtraHosts hosts(made.lookups, {}, nullptr, [](const std::string& name) {
        std::string dotted = name.substr(name.find('-') + 1);
        std::replace(dotted.begin(), dotted.end(), '-', '.');
        return LookUpHostAddress(dotted.c_str());
    });
    const QStringList names = {"all-255-255-255-255", "zero-0-0-0-0", "group-224-0-0-9",
                               "reserved-240-0-0-1", "pc-10-8-0-9"};
    ASSERT_EQ(hosts.SetEntries(names), std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !FanoutExtras().empty(); }, 5000));
    EXPECT_EQ(FanoutExtras(), (std::vector<std::string>{"10.8.0.9"}));
    for (const auto& [text, now] : hosts.Status()) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(now.startsWith("not used: "), text != "pc-10-8-0-9") << now.toStdString();
    }
}

TEST(NetworkSettingsTest, DialogKeepsABadListOpenAndUntouchedAndSavesAGoodOne) {
    Hosts made;
    ASSERT_EQ(made.hosts.SetEntries({"10.8.0.7"}), std::nullopt);
    ExtraHostsDialog dialog(made.hosts);
    dialog.show();
    auto* editor = dialog.findChild<QPlainTextEdit*>("entries");
    QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    ASSERT_EQ(editor->toPlainText(), "10.8.0.7");

    const QString bad = "10.8.0.7\n10.20.0.0/4\n";
    editor->setPlainText(bad);
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(editor->toPlainText(), bad);
    auto* problem = dialog.findChild<QLabel*>("problem");
    EXPECT_TRUE(problem->isVisible());
    EXPECT_TRUE(problem->text().startsWith("Line 2: ")) << problem->text().toStdString();
    EXPECT_EQ(made.hosts.Entries(), QStringList{"10.8.0.7"});

    editor->setPlainText("10.8.0.7\n10.20.0.0/24\n");
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(Saved(), (QStringList{"10.8.0.7", "10.20.0.0/24"}));
}

} // namespace
} // namespace kestrane::test
