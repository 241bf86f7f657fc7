// The figure table both benchmarks print: one row per figure, its reference from the same run,
// the goal and whether it was met.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct Row {
    std::string figure;
    std::string value;
    std::string reference;
    std::string goal;
    std::string verdict;
};

// `v` with `decimals` decimals and a unit after a space.
inline std::string Fixed(double v, int decimals, const char* unit) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f %s", decimals, v, unit);
    return buffer;
}

// Prints a header, a rule of `ruleWidth` dashes and the rows in columns of the given widths.
inline void PrintTable(const std::vector<Row>& rows, const char* valueHeader, int valueWidth,
                       int referenceWidth, int goalWidth, size_t ruleWidth) {
    std::printf("%-40s %-*s %-*s %-*s %s\n", "figure", valueWidth, valueHeader, referenceWidth,
                "reference (same run)", goalWidth, "goal", "verdict");
    std::printf("%s\n", std::string(ruleWidth, '-').c_str());
    for (const Row& row : rows) {
        std::printf("%-40s %-*s %-*s %-*s %s\n", row.figure.c_str(), valueWidth, row.value.c_str(),
                    referenceWidth, row.reference.c_str(), goalWidth, row.goal.c_str(), row.verdict.c_str());
    }
}
