// Running out of memory: for each canned exchange of the fuzz corpus, the
// library's allocation number N fails, alone or with every one after it, for
// N = 1, 2, ... until the exchange needs no more than N - 1. Each request
// must then either give exactly its result with all allocations, or fail
// with an error text; the sanitizer build checks that nothing leaks.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "msql/msql_internal.h"
#include "msql/testing.h"
#include "tests/support/capture.h"
#include "tests/support/fuzz_entries.h"

namespace {

std::vector<std::string> Inputs() {
  std::vector<std::string> out;
  for (const char *kind : {"corpus", "regressions"}) {
    std::string dir = std::string(KORVID_SOURCE_DIR) + "/fuzz/" + kind + "/reply_stream";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) continue;
    while (struct dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
      out.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    closedir(d);
  }
  return out;
}

// Each of the two requests' descriptions ("result ... (error text)").
std::vector<std::string> Parts(const std::string &outcome) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (size_t sep; (sep = outcome.find(") / ", at)) != std::string::npos; at = sep + 4) {
    parts.push_back(outcome.substr(at, sep + 1 - at));
  }
  parts.push_back(outcome.substr(at));
  return parts;
}

// The result without the error text: a request that succeeds leaves the
// text of an earlier failure in place.
std::string Result(const std::string &part) { return part.substr(0, part.rfind(" (")); }

// A request that failed: a negative result or no result set, and a reason.
bool DefinedFailure(const std::string &part) {
  bool failed = part.rfind("-1", 0) == 0 || part.rfind("none", 0) == 0 ||
                part.find(" none (") != std::string::npos;
  return failed && part.find(" ()") == std::string::npos;
}

TEST(AllocTest, EveryAllocationMayFail) {
  std::vector<std::string> inputs = Inputs();
  ASSERT_GT(inputs.size(), 10u);
  int exchanges = 0, runs = 0;
  for (const std::string &input : inputs) {
    if (input.empty()) continue;
    const uint8_t *data = reinterpret_cast<const uint8_t *>(input.data());
    msqlResetForTests();
    std::string whole = ReplyStreamOutcome(data, input.size());
    long needed = msqlAllocCountForTests();
    std::vector<std::string> wholeParts = Parts(whole);
    Capture err;  // lost connections say so on standard error
    err.Start(2);
    exchanges++;
    for (bool onward : {false, true}) {
      for (long n = 1; n <= needed + 1; n++) {
        SCOPED_TRACE(whole + " / allocation " + std::to_string(n) + (onward ? " onward" : " alone"));
        msqlResetForTests();
        msqlAllocFailForTests(n, onward);
        std::vector<std::string> parts = Parts(ReplyStreamOutcome(data, input.size()));
        runs++;
        ASSERT_EQ(parts.size(), wholeParts.size());
        // The first request that differs ran out of memory and said so.
        // What follows it is not compared: the canned reply goes on as if
        // the request had been sent whole.
        for (size_t i = 0; i < parts.size(); i++) {
          if (Result(parts[i]) == Result(wholeParts[i])) continue;
          EXPECT_TRUE(DefinedFailure(parts[i])) << "request " << i << ": " << parts[i];
          EXPECT_NE(parts[i].find("(Out of memory)"), std::string::npos) << parts[i];
          break;
        }
        if (n > needed) {
          EXPECT_EQ(parts, wholeParts);
        }
      }
    }
    err.Stop();
  }
  msqlResetForTests();
  printf("%d exchanges, %d runs with a refused allocation\n", exchanges, runs);
}

}  // namespace
