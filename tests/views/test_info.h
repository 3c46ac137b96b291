// An Info over fields the test holds, as the list windows receive it.
#ifndef KORVID_TESTS_VIEWS_TEST_INFO_H
#define KORVID_TESTS_VIEWS_TEST_INFO_H

#include <string>
#include <utility>
#include <vector>

#include "app/services/services.h"

namespace {

struct TestInfo {
  std::vector<InfoField> fields;
  std::vector<std::string> names;
  std::string table;
  Info info{};

  TestInfo(const char *table_name, std::vector<InfoField> list, int nfields, int pkey,
           MainForm *mainform = nullptr)
      : fields(std::move(list)), table(table_name) {
    names.reserve(fields.size());
    for (InfoField &f : fields) {
      names.emplace_back(f.name);
      f.name = &names.back()[0];
      f.table = &table[0];
    }
    info.table = &table[0];
    info.nfields = nfields;
    info.nentries = static_cast<int>(fields.size());
    info.pkey = pkey;
    info.fields = fields.data();
    info.mainform = mainform;
  }
  // Info points into this record, which therefore never moves.
  TestInfo(const TestInfo &) = delete;
  TestInfo &operator=(const TestInfo &) = delete;
};

InfoField Field(const char *name, int type, int length, unsigned flags = 0) {
  return InfoField{const_cast<char *>(name), nullptr, type, length, flags};
}

}  // namespace

#endif
