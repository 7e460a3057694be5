#include "protocols/imap_fuzz.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace brivane {
namespace {

// A short deterministic fuzzing run over the entry points: random bytes and
// mutations of realistic replies. A crash, a sanitizer report or an abort
// from a broken round trip fails the test.
TEST(ImapFuzz, EntryPointsSurviveRandomAndMutatedInput) {
  const std::vector<std::string> seeds = {
      "* FLAGS (\\Seen)\r\n* 3 EXISTS\r\n* OK [UIDVALIDITY 1] x\r\nC3 OK [READ-WRITE] done\r\n",
      "* LIST (\\HasNoChildren) \"/\" \"Entw&APw-rfe\"\r\n* LIST () NIL \"a\\\\b\"\r\nC2 OK\r\n",
      "* STATUS \"INBOX\" (MESSAGES 3 UNSEEN 1)\r\n* SEARCH 1 2 3\r\nC4 OK\r\n",
      "12 FETCH (UID 345 FLAGS (\\Seen) RFC822.HEADER {342}\n FLAGS (\\Answered))\n",
      "3 FETCH (BODY[HEADER.FIELDS (FROM)] {20}\n BODY[TEXT] \"x\\\"y\")\n",
      "~peter/mail/&U,BTFw-/&ZeVnLIqe-",
      "caf\xC3\xA9 \xF0\x9F\x98\x80 &",
  };
  std::mt19937 rng(20261206);
  const std::string alphabet = "* ()[]{}\"\\&-+,/0123456789CFLOKNBADSTUIVEWXYZ\r\n\t\x80\xC3\xA9";
  size_t sink = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string input;
    if (round % 3 == 0) {
      const size_t len = rng() % 64;
      for (size_t i = 0; i < len; ++i) input += static_cast<char>(rng() % 256);
    } else {
      input = seeds[rng() % seeds.size()];
      const int edits = 1 + static_cast<int>(rng() % 6);
      for (int e = 0; e < edits && !input.empty(); ++e) {
        const size_t pos = rng() % input.size();
        switch (rng() % 3) {
          case 0: input[pos] = alphabet[rng() % alphabet.size()]; break;
          case 1: input.erase(pos, 1 + rng() % 4); break;
          default: input.insert(pos, 1, alphabet[rng() % alphabet.size()]); break;
        }
      }
    }
    sink += fuzzImapReplyLines(input);
    sink += fuzzImapFetchLines(input);
    sink += fuzzModifiedUtf7(input);
  }
  EXPECT_GT(sink, 0u);
}

}  // namespace
}  // namespace brivane
