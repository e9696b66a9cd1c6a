// Byte-for-byte agreement with two independent flatteners, objcopy (binutils)
// and srec_cat (srecord), on files each of them writes from random data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/fileio/temp_dir.h"
#include "tests/image/image_text.h"

TEST(ImageReference, FlatBlockMatchesObjcopyAndSrecCat) {
  const auto hex = ImageFormat::IntelHex;
  const std::pair<const char*, ImageFormat> cases[] = {  // the shell command that writes `in`
      // Gaps, records running on across 64 KiB, linear jumps, odd length.
      {"srec_cat a -bin -offset 0x0800FFF0 b -bin -offset 0x08022000 -o in -Intel", hex},
      {"srec_cat a -bin -offset 0x1F000 b -bin -offset 0x31000 -o in -Intel -address-length=3", hex},
      {"objcopy -I binary -O ihex --change-addresses 0x2FFF1 a in", hex},  // segments, to their very end
      {"srec_cat b -bin -offset 0x32000 -o hi -Intel && srec_cat a -bin -offset 0x20000 -o lo -Intel && "
       "grep -v :00000001FF hi | cat - lo > in", hex},  // out of order
      {"srec_cat c -bin -offset 0x100 b -bin -offset 0x1000 -o in -Motorola", ImageFormat::SRecord},  // S1
      {"srec_cat a -bin -offset 0x800001 -o in -Motorola", ImageFormat::SRecord},                     // S2
      {"objcopy -I binary -O srec --srec-forceS3 --change-addresses 0x08000000 a in", ImageFormat::SRecord},
      {"srec_cat a -bin -offset 0x08000000 b -bin -offset 0x08020000 -o s -Motorola && "
       "(grep ^S0 s; grep ^S3 s | tac; echo S70500000000FA) > in", ImageFormat::SRecord},  // out of order
  };
  TempDir dir;
  const std::string cd = "cd '" + dir.Root() + "' && ";
  for (unsigned i = 0; i < 3; ++i) dir.Write(std::string(1, 'a' + i), image_text::RandomBytes(70001 / (1 + 100 * i), i));
  const auto read = [&](const char* name) {
    return std::string(std::istreambuf_iterator<char>(std::ifstream(dir.Path(name), std::ios::binary).rdbuf()), {});
  };
  for (const auto& [make, format] : cases) {
    ASSERT_EQ(std::system((cd + make).c_str()), 0) << make;
    FlatImage image;
    ImageError error;
    ASSERT_TRUE(FlattenImage(read("in"), format, FlattenOptions(), &image, &error))
        << make << "\n" << DescribeImageError(error);
    const std::string in = format == hex ? "'(' in -Intel ')'" : "'(' in -Motorola ')'";
    const std::string references[] = {
        std::string("objcopy -I ") + (format == hex ? "ihex" : "srec") + " -O binary --gap-fill 0xff in out",
        "srec_cat '(' " + in + " -fill 0xFF -over " + in + " ')' -offset - -minimum-addr " + in + " -o out -bin"};
    const std::string ours(image.bytes.begin(), image.bytes.end() - image.padded);
    for (const std::string& reference : references) {
      ASSERT_EQ(std::system((cd + reference + " 2>/dev/null").c_str()), 0) << reference;
      EXPECT_TRUE(read("out") == ours) << make << "\n" << reference;
    }
    EXPECT_EQ(image.padded, ours.size() % 2 == 1) << make;
    EXPECT_EQ(image.bytes.back(), image.padded ? 0xFF : ours.back()) << make;
  }
}
