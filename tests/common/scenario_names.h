// The names of a scenario table's rows, in the order written: each names a
// case on both hosts, and the cases keep referring to them.
#pragma once

#include <string>
#include <vector>

template <typename Row> std::vector<std::string> ScenarioNamesOf(const std::vector<Row>& rows) {
    std::vector<std::string> names;
    for (const Row& row : rows) names.push_back(row.name);
    return names;
}
