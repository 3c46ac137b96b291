// Replays the fuzz corpora and the regression inputs through the same entry
// functions as the fuzz targets, so the ordinary test run covers them too.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/fuzz_entries.h"

namespace {

std::vector<std::string> Files(const std::string &dir) {
  std::vector<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
  }
  closedir(d);
  return out;
}

int Replay(const std::string &target, int (*entry)(const uint8_t *, size_t)) {
  int count = 0;
  for (const char *kind : {"corpus", "regressions"}) {
    for (const std::string &file : Files(std::string(KORVID_SOURCE_DIR) + "/fuzz/" + kind + "/" + target)) {
      std::ifstream in(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(file);
      entry(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
      count++;
    }
  }
  return count;
}

TEST(CorpusTest, ReplyStreamInputs) { EXPECT_GT(Replay("reply_stream", FuzzReplyStream), 10); }

// The memory bound target starts from the reply stream's corpus.
TEST(CorpusTest, ReplyMemoryInputs) {
  EXPECT_GT(Replay("reply_stream", FuzzReplyMemory) + Replay("reply_memory", FuzzReplyMemory), 10);
}

TEST(CorpusTest, ConfigFileInputs) { EXPECT_GT(Replay("config_file", FuzzConfigFile), 3); }

}  // namespace
