// Every allocation of the client library goes through here, so that a test
// can make allocation number N fail (alone, or with every one after it) and
// check that each request then fails cleanly, leaking nothing.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "msql/msql_internal.h"
#include "msql/testing.h"

// What a request that could not allocate leaves in msqlErrMsg.
#define MSQL_ERR_NO_MEMORY "Out of memory"

namespace {

long allocCount = 0;
long failAt = 0;  // 0: nothing fails
bool failOnward = false;

long failures = 0;

bool Refuse() {
  long n = ++allocCount;
  if (failAt <= 0) return false;
  return failOnward ? n >= failAt : n == failAt;
}

// A request that could not allocate says so, whatever it returns.
void *Checked(void *p) {
  if (p == nullptr) {
    failures++;
    msqlSetError(MSQL_ERR_NO_MEMORY);
  }
  return p;
}

}  // namespace

void *msqlMalloc(size_t size) { return Checked(Refuse() ? nullptr : malloc(size)); }

void *msqlCalloc(size_t count, size_t size) {
  return Checked(Refuse() ? nullptr : calloc(count, size));
}

void *msqlMallocLarge(size_t size) {
  void *p = nullptr;
  if (Refuse() || posix_memalign(&p, MSQL_HUGE_PAGE, size) != 0) p = nullptr;
  // Faulted in a huge page at a time where the system allows it: a large
  // result then costs a fraction of the page faults.
  if (p != nullptr) madvise(p, size, MADV_HUGEPAGE);
  return Checked(p);
}

void *msqlMallocOptional(size_t size) { return Refuse() ? nullptr : malloc(size); }

long msqlAllocFailures(void) { return failures; }

char *msqlStrdup(const char *text) {
  size_t n = strlen(text) + 1;
  char *copy = static_cast<char *>(msqlMalloc(n));
  if (copy != nullptr) memcpy(copy, text, n);
  return copy;
}

void msqlAllocFailForTests(long n, bool onward) {
  allocCount = 0;
  failAt = n;
  failOnward = onward;
}

long msqlAllocCountForTests(void) { return allocCount; }
