// Runs a libFuzzer entry function over every file of the directories named on
// the command line, so that the ordinary test run replays the corpora of the
// targets that need more than the client library.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  int count = 0;
  for (int i = 1; i < argc; i++) {
    DIR *d = opendir(argv[i]);
    if (d == nullptr) continue;
    while (struct dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
      count++;
    }
    closedir(d);
  }
  printf("%d inputs replayed\n", count);
  return count > 0 ? 0 : 1;
}
