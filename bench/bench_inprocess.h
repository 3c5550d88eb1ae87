// What the two in-process benchmark programs (bench_engine, bench_gdal) share:
// the operations they can time, how a repeated operation is timed, and the
// one line each prints, which bench/inprocess.sh reads.
//
// A row runs in a process of its own, so that the peak memory it reports is
// that row's: "ROW median_ms min_ms max_ms peak_kb runs".
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// The rows, in the order the report lists them.
//   open      open a 10,000-layer WMS 1.3.0 service
//   getmap    one 512 x 512 map of a 10 x 10 grid over the world
//   features  every point of a 100,000-point WFS feature type into memory
//   bounds    a spatial filter answered from what that download holds
//   view      a 1024 x 1024 WMTS view from a warm cache, in memory
//   cold      a 2048 x 2048 WMTS view into an empty cache, 50 ms a tile
const char* const kRows[] = {"open", "getmap", "features", "bounds", "view", "cold"};

// The region of the warm view (Demoland in EPSG:3857 metres) and the cold
// one (2048 pixels of level 7 from Demoland's south-west corner).
const double kViewMinX = 556597.453966368, kViewMinY = 5621521.48619207;
const double kViewMaxX = 1669792.36189910, kViewMaxY = 7361866.11305118;
const double kColdResolution = 1222.99245256282;
inline double ColdMaxX() { return kViewMinX + 2048 * kColdResolution; }
inline double ColdMaxY() { return kViewMinY + 2048 * kColdResolution; }

// The bounds query's region: a quarter of the points' extent (0..10, 40..50),
// off-centre so that it is not an easy half.
const double kBoundsMinX = 2.0, kBoundsMinY = 41.0, kBoundsMaxX = 7.0, kBoundsMaxY = 46.0;

// The map of index `i` of the GetMap row: a 10 x 10 grid over the world in
// longitude and latitude, so that no two maps ask for the same area.
struct MapWindow {
    int col, row;
    double minx, miny, maxx, maxy;
};
inline MapWindow MapAt(int i) {
    const int grid = 10;
    MapWindow w;
    w.col = i % grid;
    w.row = (i / grid) % grid;
    w.minx = -180 + w.col * 36.0;
    w.maxx = w.minx + 36.0;
    w.maxy = 90 - w.row * 18.0;
    w.miny = w.maxy - 18.0;
    return w;
}

inline long PeakKilobytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Times `operation` `runs` times, each after `prepare` (untimed); prints the
// row's line and returns 0, or 1 when any run failed.
inline int TimeRow(const std::string& row, int runs, const std::function<bool(int)>& operation,
                   const std::function<bool(int)>& prepare = nullptr) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        if (prepare && !prepare(i)) {
            std::fprintf(stderr, "%s: preparing run %d failed\n", row.c_str(), i + 1);
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        const bool ok = operation(i);
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            std::fprintf(stderr, "%s: run %d failed\n", row.c_str(), i + 1);
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    std::printf("%s %.3f %.3f %.3f %ld %d\n", row.c_str(), median, sorted.front(), sorted.back(), PeakKilobytes(),
                runs);
    return 0;
}

// "bench_X ROW URL [RUNS]": the row's name, the service address and how
// many times to repeat; false (with the usage printed) when the line is off.
struct Arguments {
    std::string row, url;
    int runs = 0;
};
inline bool ParseArguments(int argc, char** argv, int defaultRuns, Arguments& out) {
    bool known = false;
    if (argc >= 3)
        for (const char* row : kRows) known = known || std::strcmp(argv[1], row) == 0;
    if (!known) {
        std::fprintf(stderr, "usage: %s open|getmap|features|bounds|view|cold URL [RUNS]\n", argv[0]);
        return false;
    }
    out.row = argv[1];
    out.url = argv[2];
    out.runs = argc > 3 ? std::atoi(argv[3]) : defaultRuns;
    return out.runs > 0;
}

} // namespace bench
