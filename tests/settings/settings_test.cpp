// The synchronisation settings: the file as its reader takes it, whatever bytes it holds,
// the values of each key, the command line laid over the file, and the clashes refused.

#include "settings/settings_file.h"
#include "settings/sync_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tambrel::settings {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

const std::string kFile = "/home/u/.config/tambrel/tambrel.conf";

SettingsFile readText(const std::string& text) {
    return readSettingsText(text, kFile);
}

SyncChoices chosen(std::initializer_list<std::pair<Key, std::string_view>> values) {
    SyncChoices choices;
    for (const auto& [key, value] : values) {
        EXPECT_EQ(choose(choices, key, value), std::nullopt) << value;
    }
    return choices;
}

TEST(SettingsFileTest, ReadsKeysAmongCommentsBlanksAndLineEnds) {
    const SettingsFile read = readText("\xEF\xBB\xBF# Tambrel, in time with the studio\r\n"
                                       "\r\n"
                                       "  midi-clock-out =  synth:midi in  \r\n"
                                       "\t# clock-while-stopped = yes\n"
                                       "clock-while-stopped=on\n"
                                       "link = off"); // no line end at the end
    EXPECT_EQ(read.complaints, Lines{});
    SyncChoices expected;
    expected.midiClockOut = PortSwitch{true, "synth:midi in"};
    expected.clockWhileStopped = true;
    expected.link = false;
    EXPECT_EQ(read.choices, expected);
}

TEST(SettingsFileTest, EachBadLineIsSaidOnceWithItsNumberAndSkipped) {
    const SettingsFile read = readText("midi-clock-out = on\n"
                                       "jack-transport = sideways\n"
                                       "midi-clock-out\n"
                                       "tempo = 120\n"
                                       "clock-while-stopped = maybe\n"
                                       "= on\n"
                                       "midi-clock-out = nowhere\n");
    EXPECT_EQ(
        read.complaints,
        (Lines{kFile + ":2: \"jack-transport = sideways\": not off, follow or lead; using off",
               kFile + ":3: \"midi-clock-out\": not key = value; ignored",
               kFile + ":4: \"tempo = 120\": unknown key; ignored",
               kFile + ":5: \"clock-while-stopped = maybe\": not true, false, yes, no, on "
                       "or off; using off",
               kFile + ":6: \"= on\": unknown key; ignored",
               kFile + ":7: \"midi-clock-out = nowhere\": not a JACK port (client:port), "
                       "nor true, false, yes, no, on or off; using off"}));
    // The bad value on line 7 undoes line 1: the key is left at its default.
    EXPECT_EQ(read.choices, SyncChoices{});
}

TEST(SettingsFileTest, StrangeBytesAreShownEscapedOnOneLine) {
    const std::string line = "midi-clock-out = a:\0b\x1b[2J\xff\xc3\xa9"s;
    const SettingsFile read = readText(line + "\nlink-start-stop = yes\x85\r\n");
    ASSERT_EQ(read.complaints.size(), 2U);
    EXPECT_NE(read.complaints[0].find("\"midi-clock-out = a:\\x00b\\x1b[2J\\xff\xc3\xa9\": not a"),
              std::string::npos)
        << read.complaints[0];
    // A lone continuation byte is no character; U+0085 is a control character.
    EXPECT_NE(read.complaints[1].find("\"link-start-stop = yes\\x85\": not true"),
              std::string::npos)
        << read.complaints[1];
    EXPECT_EQ(readText("link = on\xc2\x85").complaints,
              Lines{kFile + ":1: \"link = on\\xc2\\x85\": not true, false, yes, no, on or off; "
                            "using off"});
    EXPECT_EQ(read.choices, SyncChoices{});

    const SettingsFile longLine = readText("midi-clock-out = " + std::string(500, 'x'));
    ASSERT_EQ(longLine.complaints.size(), 1U);
    EXPECT_LT(longLine.complaints[0].size(), 250U);
    EXPECT_NE(longLine.complaints[0].find("xxx...\": not a JACK port"), std::string::npos);
}

TEST(SettingsFileTest, AFileOverTheLimitIsNotRead) {
    std::string largest = "midi-clock-out = on\n";
    largest.resize(kMaxSettingsFileBytes, '#'); // one long comment after the first line
    EXPECT_EQ(readText(largest).complaints, Lines{});
    EXPECT_TRUE(readText(largest).choices.midiClockOut.has_value());

    const SettingsFile over = readText(largest + "\n");
    EXPECT_EQ(over.complaints, Lines{kFile + ": larger than 64 KiB, not read; every setting off"});
    EXPECT_EQ(over.choices, SyncChoices{});
}

TEST(SettingsFileTest, TheFileOnDiskMissingUnreadableOrTooLarge) {
    const auto dir = std::filesystem::temp_directory_path() / "tambrel-settings-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "folder.conf");
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    };

    EXPECT_EQ(readSettingsFile((dir / "missing.conf").string()).complaints, Lines{});
    EXPECT_EQ(readSettingsFile("").complaints, Lines{});
    const std::string folder = (dir / "folder.conf").string();
    EXPECT_EQ(readSettingsFile(folder).complaints,
              Lines{folder + ": cannot be read (Is a directory); every setting off"});
    const std::string large = write("large.conf", std::string(kMaxSettingsFileBytes + 1, '\n'));
    EXPECT_EQ(readSettingsFile(large).complaints,
              Lines{large + ": larger than 64 KiB, not read; every setting off"});
    const std::string good = write("good.conf", "midi-clock-out = yes\nlink = maybe\n");
    const SettingsFile read = readSettingsFile(good);
    EXPECT_EQ(read.choices, chosen({{Key::MidiClockOut, "yes"}}));
    EXPECT_EQ(read.complaints.size(), 1U);
    EXPECT_EQ(read.complaints.at(0).rfind(good + ":2: ", 0), 0U);
    std::filesystem::remove_all(dir);
}

TEST(SettingsFileTest, WhereTheFileIs) {
    EXPECT_EQ(settingsFilePath("/x/conf", "/home/u"), "/x/conf/tambrel/tambrel.conf");
    EXPECT_EQ(settingsFilePath("/x/conf/", "/home/u"), "/x/conf/tambrel/tambrel.conf");
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "conf", "./conf"}) {
        EXPECT_EQ(settingsFilePath(unusable, "/home/u"), "/home/u/.config/tambrel/tambrel.conf");
        EXPECT_EQ(settingsFilePath(unusable, nullptr), "");
        EXPECT_EQ(settingsFilePath(unusable, "relative/home"), "");
    }
}

TEST(SyncValuesTest, EachKindTakesItsWordsAndNothingElse) {
    for (const Key key : {Key::ClockWhileStopped, Key::Link, Key::LinkStartStop}) {
        for (const char* on : {"true", "yes", "on"}) {
            EXPECT_TRUE(turnsOn(chosen({{key, on}}), key)) << on;
        }
        for (const char* off : {"false", "no", "off"}) {
            const SyncChoices choices = chosen({{key, off}});
            EXPECT_FALSE(turnsOn(choices, key)) << off;
            EXPECT_NE(choices, SyncChoices{}) << off; // said, unlike a key left alone
        }
        SyncChoices choices;
        for (const char* bad : {"", "On", "yes please", "a:b"}) {
            EXPECT_EQ(choose(choices, key, bad), "not true, false, yes, no, on or off") << bad;
        }
        EXPECT_EQ(choices, SyncChoices{});
    }

    for (const Key key : {Key::MidiClockOut, Key::MidiClockIn}) {
        for (const char* port : {"a:b", "a2j:Midi Through [14] (capture): Midi Through Port-0",
                                 "\xc3\xa9:\xe2\x99\xa9"}) {
            SyncChoices choices = chosen({{key, port}});
            EXPECT_TRUE(turnsOn(choices, key)) << port;
            forget(choices, key);
            EXPECT_EQ(choices, SyncChoices{});
        }
        EXPECT_EQ(chosen({{key, "on"}}), chosen({{key, "yes"}}));
        EXPECT_FALSE(turnsOn(chosen({{key, "off"}}), key));
        SyncChoices choices;
        for (const std::string& bad : {""s, "synth"s, ":b"s, "a:"s, "a:b\tc"s, "a:\0"s, "a:\xff"s,
                                       "a:" + std::string(254, 'p')}) {
            EXPECT_NE(choose(choices, key, bad), std::nullopt) << bad;
        }
        // JACK's longest full port name.
        EXPECT_EQ(choose(choices, key, "a:" + std::string(253, 'p')), std::nullopt);
    }

    EXPECT_EQ(chosen({{Key::JackTransport, "follow"}}).jackTransport, JackTransport::Follow);
    EXPECT_EQ(chosen({{Key::JackTransport, "lead"}}).jackTransport, JackTransport::Lead);
    EXPECT_FALSE(turnsOn(chosen({{Key::JackTransport, "off"}}), Key::JackTransport));
    SyncChoices choices;
    for (const char* bad : {"", "on", "Follow"}) {
        EXPECT_EQ(choose(choices, Key::JackTransport, bad), "not off, follow or lead") << bad;
    }
}

TEST(SyncCombineTest, TheCommandLineWinsKeyByKey) {
    EXPECT_EQ(combine({}, {}), SyncSettings{});
    const SyncChoices file = chosen({{Key::MidiClockOut, "synth:clock"},
                                     {Key::ClockWhileStopped, "yes"},
                                     {Key::JackTransport, "lead"}});
    SyncSettings expected;
    expected.midiClockOut = {true, "synth:clock"};
    expected.clockWhileStopped = true;
    expected.jackTransport = JackTransport::Lead;
    EXPECT_EQ(combine(file, {}), expected);

    expected.midiClockOut = {true, ""};
    expected.clockWhileStopped = false;
    expected.link = true; // which the file leaves alone
    EXPECT_EQ(combine(file, chosen({{Key::MidiClockOut, "on"},
                                    {Key::ClockWhileStopped, "no"},
                                    {Key::Link, "on"}})),
              expected);
}

TEST(SyncCombineTest, ASourceOfTimeOnTheCommandLineReplacesTheFilesOne) {
    const SyncChoices fileLink = chosen({{Key::Link, "on"},
                                         {Key::LinkStartStop, "on"},
                                         {Key::MidiClockOut, "on"},
                                         {Key::JackTransport, "lead"}});
    const SyncSettings clockIn = combine(fileLink, chosen({{Key::MidiClockIn, "a:b"}}));
    EXPECT_EQ(clash(clockIn), std::nullopt);
    EXPECT_TRUE(clockIn.midiClockIn.on);
    EXPECT_FALSE(clockIn.link);
    EXPECT_FALSE(clockIn.linkStartStop);
    // Clock out and transport lead go with any source: they stay.
    EXPECT_TRUE(clockIn.midiClockOut.on);
    EXPECT_EQ(clockIn.jackTransport, JackTransport::Lead);

    const SyncChoices fileFollow =
        chosen({{Key::JackTransport, "follow"}, {Key::MidiClockIn, "on"}});
    const SyncSettings link = combine(fileFollow, chosen({{Key::Link, "yes"}}));
    EXPECT_EQ(clash(link), std::nullopt);
    EXPECT_EQ(link.jackTransport, JackTransport::Off);
    EXPECT_FALSE(link.midiClockIn.on);

    // Lead is no source of time: it replaces nothing, and a clash in the file stands.
    const SyncSettings lead =
        combine(chosen({{Key::Link, "on"}}), chosen({{Key::JackTransport, "lead"}}));
    EXPECT_TRUE(lead.link);
    EXPECT_EQ(lead.jackTransport, JackTransport::Lead);
    EXPECT_EQ(clash(combine(chosen({{Key::MidiClockIn, "on"}, {Key::Link, "on"}}),
                            chosen({{Key::MidiClockOut, "on"}}))),
              "--midi-clock-in and --link: one source of time at a time");
}

TEST(SyncClashTest, OneSourceOfTimeAndWhatEachSwitchNeeds) {
    const auto clashOf = [](std::initializer_list<std::pair<Key, std::string_view>> values) {
        return clash(combine({}, chosen(values)));
    };
    EXPECT_EQ(clashOf({{Key::MidiClockIn, "on"}, {Key::Link, "on"}}),
              "--midi-clock-in and --link: one source of time at a time");
    EXPECT_EQ(clashOf({{Key::MidiClockIn, "a:b"}, {Key::JackTransport, "follow"}}),
              "--midi-clock-in and --jack-transport=follow: one source of time at a time");
    EXPECT_EQ(clashOf({{Key::JackTransport, "follow"}, {Key::Link, "on"}}),
              "--jack-transport=follow and --link: one source of time at a time");
    EXPECT_EQ(clashOf({{Key::LinkStartStop, "on"}}), "--link-start-stop needs --link");
    EXPECT_EQ(clashOf({{Key::ClockWhileStopped, "on"}}),
              "--clock-while-stopped needs --midi-clock-out");
    EXPECT_EQ(clashOf({{Key::ClockWhileStopped, "on"}, {Key::MidiClockOut, "off"}}),
              "--clock-while-stopped needs --midi-clock-out");

    // Clock out and transport lead go with any one source, Tambrel's own clock (clock in
    // off) included.
    for (const char* clockIn : {"off", "on"}) {
        EXPECT_EQ(clashOf({{Key::MidiClockIn, clockIn},
                           {Key::MidiClockOut, "x:y"},
                           {Key::ClockWhileStopped, "on"},
                           {Key::JackTransport, "lead"}}),
                  std::nullopt);
    }
    EXPECT_EQ(clashOf({{Key::Link, "on"},
                       {Key::LinkStartStop, "on"},
                       {Key::MidiClockOut, "on"},
                       {Key::JackTransport, "lead"}}),
              std::nullopt);
    EXPECT_EQ(clashOf({{Key::JackTransport, "follow"}, {Key::MidiClockOut, "on"}}), std::nullopt);
}

} // namespace
} // namespace tambrel::settings
