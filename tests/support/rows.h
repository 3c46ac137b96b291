// What a test reads back from the server to check a change.
#pragma once

#include <string>
#include <vector>

// The rows a statement gives on an open connection, each as its values
// joined by '|' (NULL for a null value); a failing statement is a test
// failure and gives no rows.
std::vector<std::string> ServerRows(int sock, const std::string &statement);
// The same rows with each value apart ("NULL" for a null value).
std::vector<std::vector<std::string>> ServerTable(int sock, const std::string &statement);
