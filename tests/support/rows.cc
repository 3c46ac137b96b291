// Rows read back for checks; see rows.h.
#include "tests/support/rows.h"

#include <gtest/gtest.h>

#include "msql/msql.h"

std::vector<std::vector<std::string>> ServerTable(int sock, const std::string &statement) {
  std::vector<std::vector<std::string>> rows;
  if (msqlQuery(sock, statement.c_str()) < 0) {
    ADD_FAILURE() << "\"" << statement << "\": " << msqlErrMsg;
    return rows;
  }
  ResultHandle *result = msqlStoreResult();
  if (result == nullptr) return rows;
  while (char **row = msqlFetchRow(result)) {
    rows.emplace_back();
    for (int i = 0; i < msqlNumFields(result); i++) rows.back().push_back(row[i] ? row[i] : "NULL");
  }
  msqlFreeResult(result);
  return rows;
}

std::vector<std::string> ServerRows(int sock, const std::string &statement) {
  std::vector<std::string> lines;
  for (const std::vector<std::string> &row : ServerTable(sock, statement)) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++) line += (i ? "|" : "") + row[i];
    lines.push_back(line);
  }
  return lines;
}
