// Reads sgp4_fixture.txt (see make_sgp4_fixture.py for its records).
#pragma once

#include "orbit/Tle.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

struct TFixtureState {
    double Minutes;
    double R[3], V[3];
};
struct TFixtureFrame {
    double UnixS, GmstRad;
    double R[3], V[3];
    double LatDeg, LonDeg, HeightKm;
};
struct TFixtureSatellite {
    std::string Name, Line1, Line2;
    std::vector<TFixtureState> States;
    std::vector<TFixtureFrame> Frames;
};
struct TFixturePass {
    double Aos, Los, MaxTime, MaxElevationDeg;
    std::string Direction;
};
struct TFixture {
    std::vector<TFixtureSatellite> Satellites;
    double StationLat = 0, StationLon = 0, StationHeightKm = 0, FromUnixS = 0, Days = 0, MinElevationDeg = 0;
    std::vector<TFixturePass> Passes;
};

inline const TFixture& Fixture() {
    static const TFixture fixture = [] {
        TFixture f;
        std::ifstream in(LRPT_SGP4_FIXTURE);
        if (!in) throw std::runtime_error("cannot open " LRPT_SGP4_FIXTURE);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream s(line);
            std::string tag;
            s >> tag;
            if (tag == "SAT")
                f.Satellites.push_back({line.substr(4), "", "", {}, {}});
            else if (tag == "L1")
                f.Satellites.back().Line1 = line.substr(3);
            else if (tag == "L2")
                f.Satellites.back().Line2 = line.substr(3);
            else if (tag == "STATE") {
                TFixtureState st;
                s >> st.Minutes >> st.R[0] >> st.R[1] >> st.R[2] >> st.V[0] >> st.V[1] >> st.V[2];
                f.Satellites.back().States.push_back(st);
            } else if (tag == "FRAME") {
                TFixtureFrame fr;
                s >> fr.UnixS >> fr.GmstRad >> fr.R[0] >> fr.R[1] >> fr.R[2] >> fr.V[0] >> fr.V[1] >>
                    fr.V[2] >> fr.LatDeg >> fr.LonDeg >> fr.HeightKm;
                f.Satellites.back().Frames.push_back(fr);
            } else if (tag == "STATION") {
                s >> f.StationLat >> f.StationLon >> f.StationHeightKm >> f.FromUnixS >> f.Days >>
                    f.MinElevationDeg;
            } else if (tag == "PASS") {
                TFixturePass p;
                s >> p.Aos >> p.Los >> p.MaxTime >> p.MaxElevationDeg >> p.Direction;
                f.Passes.push_back(p);
            }
            if (!tag.empty() && tag[0] != '#' && s.fail())
                throw std::runtime_error("bad fixture line: " + line);
        }
        return f;
    }();
    return fixture;
}

inline lrptgeo::TUtcTime UnixTime(double aSeconds) {
    return lrptgeo::TUtcTime(lrptgeo::TUtcSeconds(aSeconds));
}
