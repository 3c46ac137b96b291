// Rows read back for checks; see rows.h.
#include "tests/support/rows.h"

#include <gtest/gtest.h>

#include "msql/msql.h"

std::vector<std::string> ServerRows(int sock, const std::string &statement) {
  std::vector<std::string> rows;
  if (msqlQuery(sock, statement.c_str()) < 0) {
    ADD_FAILURE() << "\"" << statement << "\": " << msqlErrMsg;
    return rows;
  }
  ResultHandle *result = msqlStoreResult();
  if (result == nullptr) return rows;
  while (char **row = msqlFetchRow(result)) {
    std::string line;
    for (int i = 0; i < msqlNumFields(result); i++)
      line += (i ? "|" : "") + std::string(row[i] ? row[i] : "NULL");
    rows.push_back(line);
  }
  msqlFreeResult(result);
  return rows;
}

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
