// The per-table Info record's copy and release.
#include <cstdlib>
#include <cstring>

#include "app/services/services.h"

namespace {

// Without memory for a table's description no window can work on it.
[[noreturn]] void OutOfMemory(void) {
  ShowAlert("Not enough memory to store fieldnames !");
  exit(1);
}

}  // namespace

int InfoFieldLength(const FieldListEntry *entry) {
  return entry->type == CHAR_TYPE || entry->type == TEXT_TYPE ? entry->length : INFO_FIXED_LENGTH;
}

void *InfoAllocate(size_t count, size_t size) {
  void *memory = calloc(count ? count : 1, size);
  if (!memory) OutOfMemory();
  return memory;
}

char *InfoText(const char *text) {
  char *copy = strdup(text ? text : "");
  if (!copy) OutOfMemory();
  return copy;
}

Info *CopyInfo(const Info *info) {
  Info *copy = static_cast<Info *>(InfoAllocate(1, sizeof(Info)));
  copy->table = InfoText(info->table);
  copy->nfields = info->nfields;
  copy->nentries = info->nentries;
  copy->pkey = info->pkey;
  copy->server = info->server ? InfoText(info->server) : nullptr;
  copy->database = info->database ? InfoText(info->database) : nullptr;
  copy->mainform = info->mainform;
  copy->res = nullptr;
  copy->fields = static_cast<InfoField *>(InfoAllocate(info->nentries, sizeof(InfoField)));
  for (int i = 0; i < info->nentries; i++) {
    copy->fields[i] = info->fields[i];
    copy->fields[i].name = InfoText(info->fields[i].name);
    copy->fields[i].table = copy->table;
  }
  return copy;
}

void FreeInfo(Info *info) {
  if (!info) return;
  for (int i = 0; i < info->nentries; i++) free(info->fields[i].name);
  free(info->fields);
  free(info->table);
  free(info->server);
  free(info->database);
  free(info);
}
