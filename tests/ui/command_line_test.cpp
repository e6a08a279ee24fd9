// The synchronisation switches of tambrel's command line and settings file: put together
// key by key, and every call that cannot be taken refused with one line and status 2
// before any window opens. The refusals run the program itself, as a user runs it, with a
// settings file in a configuration folder of the test's own.

#include "ui/application.h"

#include "settings/settings_file.h"
#include "settings/sync_settings.h"
#include "tests/tools/program_rig.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace tambrel::settings;
using tambrel::testing::Result;
using tambrel::testing::slurp;
using tambrel::ui::CommandLine;
using tambrel::ui::parseCommandLine;

QStringList call(std::initializer_list<const char*> words) {
    QStringList arguments{QStringLiteral("tambrel")};
    for (const char* word : words) {
        arguments << QString::fromUtf8(word);
    }
    return arguments;
}

TEST(CommandLineSyncTest, TheCommandLineWinsOverTheFileKeyByKey) {
    const SettingsFile file =
        readSettingsText("midi-clock-out = synth:clock in\nclock-while-stopped = yes\n", "conf");
    const CommandLine fromFile = parseCommandLine(call({}), file);
    ASSERT_FALSE(fromFile.exitStatus);
    EXPECT_EQ(fromFile.sync.midiClockOut, (PortSwitch{true, "synth:clock in"}));
    EXPECT_TRUE(fromFile.sync.clockWhileStopped);

    // Bare, the option leaves its port unconnected, and the next word is the pattern file.
    const CommandLine bare = parseCommandLine(call({"--midi-clock-out", "song.qel"}), file);
    ASSERT_FALSE(bare.exitStatus);
    EXPECT_EQ(bare.patternFile, QStringLiteral("song.qel"));
    EXPECT_EQ(bare.sync.midiClockOut, (PortSwitch{true, ""}));
    EXPECT_TRUE(bare.sync.clockWhileStopped);
    const CommandLine port = parseCommandLine(call({"--midi-clock-out=drums:midi in"}), file);
    EXPECT_EQ(port.sync.midiClockOut, (PortSwitch{true, "drums:midi in"}));
    const CommandLine afterDashes = parseCommandLine(call({"--", "--midi-clock-out"}), file);
    EXPECT_EQ(afterDashes.patternFile, QStringLiteral("--midi-clock-out"));
    EXPECT_EQ(afterDashes.sync, fromFile.sync);
    // Clock in, from the file or the command line, bare or from a port.
    const SettingsFile clockIn = readSettingsText("midi-clock-in = seq:clock\n", "conf");
    EXPECT_EQ(parseCommandLine(call({}), clockIn).sync.midiClockIn,
              (PortSwitch{true, "seq:clock"}));
    EXPECT_EQ(parseCommandLine(call({"--midi-clock-in", "song.qel"})).sync.midiClockIn,
              (PortSwitch{true, ""}));

    // The command line alone, and neither: every switch off, as Tambrel always played.
    SyncSettings lineOnly;
    lineOnly.midiClockOut.on = true;
    lineOnly.clockWhileStopped = true;
    EXPECT_EQ(parseCommandLine(call({"--clock-while-stopped", "--midi-clock-out"})).sync, lineOnly);
    EXPECT_EQ(parseCommandLine(call({"--midi-clock-out=no"})).sync, SyncSettings{});
    EXPECT_EQ(parseCommandLine(call({})).sync, SyncSettings{});
}

// tambrel run with its settings file in a folder of the test's own. A call that should have
// been refused and was not fails at once for want of a window system, rather than opening
// a window that nobody closes.
class TambrelProgram : public tambrel::testing::ProgramRig {
protected:
    TambrelProgram() : ProgramRig(TAMBREL_PROGRAM, "tambrel-command-line") {
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "no-window-expected", 1);
    }
    ~TambrelProgram() override { ::unsetenv("XDG_CONFIG_HOME"); }

    std::string settingsFile(const std::string& text) const {
        fs::create_directories(dir / "tambrel");
        return write("tambrel/tambrel.conf", text);
    }

    struct Refusal {
        std::vector<std::string> args;
        std::string settings; // the settings file's text
        std::vector<std::string> lines;
    };

    void expectRefused(const Refusal& refusal) const {
        settingsFile(refusal.settings);
        const Result r = run(refusal.args);
        std::string err;
        for (const std::string& line : refusal.lines) {
            err += "tambrel: " + line + "\n";
        }
        EXPECT_EQ(r.status, 2) << err;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
};

TEST_F(TambrelProgram, AClashOrABadValueIsRefusedInOneLine) {
    const std::string whileStopped = "--clock-while-stopped needs --midi-clock-out";
    const std::string notPort =
        "not a JACK port (client:port), nor true, false, yes, no, on or off";
    const Refusal refusals[] = {
        {{"--clock-while-stopped"}, "", {whileStopped}},
        {{}, "clock-while-stopped = on\n", {whileStopped}},
        {{"--midi-clock-out=off"},
         "midi-clock-out = on\nclock-while-stopped = yes\n",
         {whileStopped}},
        {{"--midi-clock-out=nowhere"}, "", {"--midi-clock-out=nowhere: " + notPort}},
        {{"--midi-clock-out=a:\x1b[2J"}, "", {"--midi-clock-out=a:\\x1b[2J: " + notPort}},
        {{"--jack-transport=sideways"}, "", {"--jack-transport=sideways: not off, follow or lead"}},
    };
    for (const Refusal& refusal : refusals) {
        expectRefused(refusal);
    }
}

TEST_F(TambrelProgram, TheSettingsFilesComplaintsComeFirst) {
    const std::string path = (dir / "tambrel" / "tambrel.conf").string();
    expectRefused({{"--clock-while-stopped"},
                   "# in time with the studio\r\njack-transport = sideways\r\n",
                   {path + ":2: \"jack-transport = sideways\": not off, follow or lead; using off",
                    "--clock-while-stopped needs --midi-clock-out"}});
    expectRefused({{"--midi-clock-in=seq:clock", "--link"},
                   "link = maybe\n",
                   {path + ":1: \"link = maybe\": not true, false, yes, no, on or off; using off",
                    "--midi-clock-in and --link: one source of time at a time"}});
    fs::remove(path);
    fs::create_directories(path);
    const Result unreadable = run({"--link-start-stop"});
    EXPECT_EQ(unreadable.err, "tambrel: " + path +
                                  ": cannot be read (Is a directory); every setting off\n"
                                  "tambrel: --link-start-stop needs --link\n");
}

// Every switch is offered in --help and documented in the man page and the help page.
TEST_F(TambrelProgram, EverySwitchIsOfferedAndDocumented) {
    const Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("  --midi-clock-out[=PORT]  "), std::string::npos) << help.out;
    const std::string manPage = slurp(TAMBREL_MAN_PAGE);
    const std::string helpPage = slurp(TAMBREL_HELP_PAGE);
    ASSERT_FALSE(manPage.empty());
    ASSERT_FALSE(helpPage.empty());
    for (const KeyInfo& key : kKeys) {
        const std::string name(key.name);
        // Qt's expressions: GCC's <regex> trips its own uninitialised-value warning in the
        // sanitizer builds.
        const QString escaped = QRegularExpression::escape(QString::fromStdString(name));
        const QRegularExpression option(QStringLiteral("--%1(?![a-z-])").arg(escaped));
        const QRegularExpression manOption(QStringLiteral("\\\\-\\\\-%1(?![a-z\\\\])")
                                               .arg(QString::fromStdString(name).replace(
                                                   QLatin1Char('-'), QStringLiteral("\\\\-"))));
        auto found = [](const QRegularExpression& pattern, const std::string& text) {
            return pattern.match(QString::fromStdString(text)).hasMatch();
        };
        EXPECT_TRUE(found(option, help.out)) << name;
        EXPECT_TRUE(found(manOption, manPage)) << name;
        EXPECT_TRUE(found(option, helpPage)) << name;
    }
}

// JACK transport leads or follows, from either source; the command line's mode wins over
// the file's.
TEST_F(TambrelProgram, TheTransportLeadsOrFollowsFromEitherSource) {
    EXPECT_EQ(parseCommandLine(call({"--jack-transport=lead"})).sync.jackTransport,
              JackTransport::Lead);
    const SettingsFile lead = readSettingsText("jack-transport = lead\n", "conf");
    EXPECT_TRUE(lead.complaints.empty());
    EXPECT_EQ(parseCommandLine(call({}), lead).sync.jackTransport, JackTransport::Lead);
    EXPECT_EQ(parseCommandLine(call({"--jack-transport=off"}), lead).sync.jackTransport,
              JackTransport::Off);
    EXPECT_EQ(parseCommandLine(call({"--jack-transport=follow"}), lead).sync.jackTransport,
              JackTransport::Follow);
    const SettingsFile follow = readSettingsText("jack-transport = follow\n", "conf");
    EXPECT_TRUE(follow.complaints.empty());
    EXPECT_EQ(parseCommandLine(call({}), follow).sync.jackTransport, JackTransport::Follow);
    EXPECT_EQ(parseCommandLine(call({"--jack-transport=lead"}), follow).sync.jackTransport,
              JackTransport::Lead);
}

} // namespace
