// A random file, hashed as it is read, gives what sha256sum says.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>

#include "hash/hash.h"

TEST(Sha256Posix, ARandomFileReadInPiecesMatchesSha256sum) {
  std::mt19937 random(std::random_device{}());
  char path[] = "/tmp/uf-hash-XXXXXX";
  close(mkstemp(path));
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 300000 + random() % 4096; i > 0; --i) out.put(static_cast<char>(random()));
  out.close();
  Sha256 hash;
  std::ifstream in(path, std::ios::binary);
  for (char piece[4093]; in.read(piece, sizeof piece) || in.gcount() > 0;) {
    ASSERT_NE(hash.Update(piece, static_cast<size_t>(in.gcount())), 0);
  }
  char line[128] = {};
  FILE* tool = popen(("sha256sum " + std::string(path)).c_str(), "r");
  ASSERT_NE(tool, nullptr);
  ASSERT_NE(fgets(line, sizeof line, tool), nullptr);
  pclose(tool);
  unlink(path);
  EXPECT_EQ(hash.FinishHex(), std::string(line).substr(0, 64));
}
