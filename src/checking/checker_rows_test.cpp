#include "checking/checker_rows.h"

#include <gtest/gtest.h>

using namespace brivane;

TEST(PreviewText, CutsCleansAndConverts) {
  const struct {
    std::string raw, preview;
  } cases[] = {
      {"", ""},
      {"Hello\r\nworld\r\n", "Helloworld"},
      {"tab\there", "tab here"},
      {"caf\xE9", "caf\xC3\xA9"},                           // Windows-1252
      {"M\xC3\xBCller", "M\xC3\xBCller"},                   // UTF-8 stays
      {std::string(79, 'a') + "\xE2\x82\xAC" + "b", std::string(79, 'a') + "\xE2\x82\xAC"},
      {std::string(200, 'z'), std::string(80, 'z')},
  };
  for (const auto& c : cases) EXPECT_EQ(previewText(c.raw), c.preview) << c.raw;
  // A long UTF-8 text is never read as Windows-1252 because of where it was cut.
  std::string euros;
  for (int i = 0; i < 200; ++i) euros += "\xE2\x82\xAC";
  EXPECT_EQ(previewText(euros).size(), 80u * 3);
}
