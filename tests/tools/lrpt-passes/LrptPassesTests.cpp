// lrpt-passes as a user runs it: a day of passes over Barcelona from the demo pass's element
// sets (the demo frames' 13:37-13:39 UTC must fall inside a northbound Meteor pass), one
// satellite, entries of other orbits skipped, and refusals with one-line messages.
#include "TestFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TRun {
    int Status = -1;
    std::vector<std::string> Out;
    std::string Err;
};

std::vector<std::string> Lines(const fs::path& aPath) {
    std::ifstream in(aPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TRun RunPasses(const std::string& aArguments) {
    const fs::path dir = TestFolder("lrpt-passes-tests", "run");
    const fs::path out = dir / "out.txt", err = dir / "err.txt";
    const int status = std::system((std::string(LRPT_PASSES) + " " + aArguments + " >'" + out.string() +
                                    "' 2>'" + err.string() + "' </dev/null")
                                       .c_str());
    TRun run;
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = Lines(out);
    std::ostringstream text;
    text << std::ifstream(err).rdbuf();
    run.Err = text.str();
    return run;
}

const std::string kDemo = std::string("--tle ") + LRPT_DEMO_TLE + " --station 41.39,2.17,100";

} // namespace

TEST(LrptPasses, ListsADayOfPassesInTimeOrder) {
    const TRun run = RunPasses(kDemo + " --from 2026-06-20T00:00:00Z --days 1 --min-elevation 10");
    ASSERT_EQ(run.Status, 0) << run.Err;
    // Four passes of each satellite above 10 degrees that day.
    ASSERT_EQ(run.Out.size(), 8u);
    bool demoPass = false;
    for (size_t i = 0; i < run.Out.size(); ++i) {
        const std::string& l = run.Out[i];
        const size_t aos = l.find("AOS "), los = l.find("LOS "), max = l.find("MAX ");
        ASSERT_TRUE(aos != std::string::npos && los != std::string::npos && max != std::string::npos) << l;
        const std::string aosTime = l.substr(aos + 4, 20), losTime = l.substr(los + 4, 20);
        const std::string maxTime = l.substr(max + 4, 20);
        EXPECT_LT(aosTime, maxTime) << l;
        EXPECT_LT(maxTime, losTime) << l;
        if (i > 0) {
            EXPECT_LT(run.Out[i - 1].substr(run.Out[i - 1].find("AOS ") + 4, 20), aosTime);
        }
        if (l.rfind("METEOR-M2 4", 0) == 0 && aosTime <= "2026-06-20T13:37:00Z" &&
            losTime >= "2026-06-20T13:39:00Z") {
            demoPass = true;
            EXPECT_NE(l.find("northbound"), std::string::npos) << l;
            EXPECT_NE(l.find(" 48.9 deg"), std::string::npos) << l;
        }
    }
    EXPECT_TRUE(demoPass);
    // NOAA 19's element set is from 26 days later: said, not refused.
    EXPECT_NE(run.Err.find("warning: the element set of NOAA 19"), std::string::npos) << run.Err;
}

TEST(LrptPasses, OneSatelliteAndEntriesOfOtherOrbitsSkipped) {
    const TRun one = RunPasses(kDemo + " --satellite 59051 --from 2026-06-20T00:00:00Z --min-elevation 10");
    ASSERT_EQ(one.Status, 0) << one.Err;
    ASSERT_EQ(one.Out.size(), 4u);
    for (const std::string& l : one.Out)
        EXPECT_EQ(l.rfind("METEOR-M2 4", 0), 0u) << l;

    const fs::path file = TestFolder("lrpt-passes-tests", "mixed") / "mixed.txt";
    std::ofstream(file) << "MOLNIYA 1-36\n"
                           "1 09880U 77021A   06176.56157475  .00000421  00000-0  10000-3 0  9814\n"
                           "2 09880  64.5968 349.3786 7069051 270.0229  16.3320  2.00813614112380\n"
                        << std::ifstream(LRPT_DEMO_TLE).rdbuf();
    const TRun mixed = RunPasses("--tle '" + file.string() +
                                 "' --station 41.39,2.17 --from 2026-06-20T00:00:00Z --min-elevation 10");
    ASSERT_EQ(mixed.Status, 0) << mixed.Err;
    EXPECT_EQ(mixed.Out.size(), 8u);
    EXPECT_NE(mixed.Err.find("skipped: MOLNIYA 1-36"), std::string::npos) << mixed.Err;
    const TRun chosen = RunPasses("--tle '" + file.string() + "' --station 41.39,2.17 --satellite molniya");
    EXPECT_EQ(chosen.Status, 1);
    EXPECT_NE(chosen.Err.find("225 min"), std::string::npos) << chosen.Err;
}

TEST(LrptPasses, RefusesBadInputWithOneLine) {
    struct TCase {
        std::string Arguments;
        int Status;
        std::string Message;
    };
    const std::vector<TCase> cases = {
        {"--station 41.39,2.17", 2, "--tle FILE is required"},
        {std::string("--tle ") + LRPT_DEMO_TLE, 2, "--station LAT,LON[,ALT] is required"},
        {std::string("--tle ") + LRPT_DEMO_TLE + " --station 41.39", 2, "is not LAT,LON[,ALT]"},
        {kDemo + " --days 0", 2, "--days must lie in"},
        {kDemo + " --min-elevation ten", 2, "--min-elevation needs a number"},
        {kDemo + " --from 2026-06-20", 2, "--from: not a UTC time"},
        {kDemo + " --bogus", 2, "unknown argument \"--bogus\""},
        {"--tle /nonexistent/tle.txt --station 41.39,2.17", 1, "/nonexistent/tle.txt: cannot open"},
        {kDemo + " --satellite METOP", 1,
         "no satellite named \"METOP\" among NOAA 19 (33591), METEOR-M2 4 (59051)"},
    };
    for (const TCase& c : cases) {
        const TRun run = RunPasses(c.Arguments);
        EXPECT_EQ(run.Status, c.Status) << c.Arguments;
        EXPECT_TRUE(run.Out.empty()) << c.Arguments;
        EXPECT_EQ(run.Err.rfind("lrpt-passes: ", 0), 0u) << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << c.Arguments << "\n" << run.Err;
        EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << run.Err;
    }
    const TRun version = RunPasses("--version");
    EXPECT_EQ(version.Status, 0);
    ASSERT_EQ(version.Out.size(), 1u);
    EXPECT_EQ(version.Out[0].rfind("lrpt-passes ", 0), 0u);
    const TRun help = RunPasses("--help");
    EXPECT_EQ(help.Status, 0);
    ASSERT_FALSE(help.Out.empty());
    EXPECT_EQ(help.Out[0].rfind("usage: lrpt-passes --tle FILE", 0), 0u);
}
