// One line per figure for the table `make bench` ends with (bench/summary.py):
// appended to the file named by ZR48_BENCH_FIGURES when it is set.
//   name \t value \t unit \t goal       goal: ">= 0.5", "<= 250" or "-"
#pragma once
#include <cstdio>
#include <cstdlib>

inline void ReportFigure(const char* name, double value, const char* unit, const char* goal) {
    const char* path = std::getenv("ZR48_BENCH_FIGURES");
    if (!path || !*path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\t%.4g\t%s\t%s\n", name, value, unit, goal);
        std::fclose(f);
    }
}
