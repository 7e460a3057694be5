#include "config_ui/folder_list_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using ::testing::ElementsAre;

// A port is 1..65535 written as plain digits. The type and the encryption
// mode move the port between the protocols' plain and TLS ports and leave
// any other port alone.
TEST(FolderListRules, PortNumbersAndPortAfterATypeOrEncryptionChange) {
  for (const char* ok : {"1", "143", "65535"}) EXPECT_TRUE(IsValidPort(ok)) << ok;
  for (const char* bad : {"", "0", "65536", "99999999999", "ten", "+143", "-1", " 143", "14 3"})
    EXPECT_FALSE(IsValidPort(bad)) << bad;
  constexpr Encryption kTls = Encryption::Tls, kStart = Encryption::StartTls, kNone = Encryption::None;
  // {pop, mode, port, after}; pop: the type after the change.
  const std::tuple<bool, Encryption, std::string, std::string> typeChanges[] = {
      {true, kNone, "143", "110"}, {true, kTls, "993", "995"}, {true, kNone, "993", "993"},
      {true, kStart, "143", "110"}, {true, kStart, "993", "993"}, {true, kTls, "1143", "1143"},
      {false, kNone, "110", "143"}, {false, kTls, "995", "993"}, {false, kTls, "992", "993"},
      {false, kNone, "995", "995"}, {false, kStart, "110", "143"}};
  for (const auto& [pop, mode, port, after] : typeChanges)
    EXPECT_EQ(PortAfterTypeChange(pop, mode, port), after) << pop << int(mode) << port;
  const struct {
    const char* what;
    bool pop;
    Encryption from, to;
    std::string port, after;
  } modeChanges[] = {
      {"IMAP to TLS", false, kNone, kTls, "143", "993"},
      {"IMAP from TLS to STARTTLS", false, kTls, kStart, "993", "143"},
      {"STARTTLS and None share the port", false, kStart, kNone, "143", "143"},
      {"TLS chosen again", false, kTls, kTls, "143", "143"},
      {"an IMAP account keeps a POP port", false, kNone, kTls, "110", "110"},
      {"POP to TLS", true, kNone, kTls, "110", "995"},
      {"POP from TLS", true, kTls, kStart, "995", "110"},
      {"POP old TLS port", true, kTls, kNone, "992", "110"},
      {"POP old TLS port kept while TLS stays", true, kTls, kTls, "992", "992"},
  };
  for (const auto& c : modeChanges)
    EXPECT_EQ(PortAfterEncryptionChange(c.pop, c.from, c.to, c.port), c.after) << c.what;
}

// Levels only by "."; a "/" server lists flat; INBOX in any case is Inbox;
// captions raw, mark-up escaped and free of control characters.
TEST(FolderListRules, RowsFromPaths) {
  const auto rows = FolderRowsFromPaths({"a/b", "inbox", "Work.inbox", "x\x01<y>"});
  std::vector<std::string> captions;
  for (const FolderRow& r : rows) captions.push_back(r.caption + (r.ticked ? "+" : ""));
  EXPECT_THAT(captions, ElementsAre("Inbox+", "a/b", "Inbox+", "x\x01<y>"));
  EXPECT_EQ(rows[0].path, "Work.inbox");
  EXPECT_TRUE(rows[0].markup.starts_with("<ind x=\"12\">") && rows[1].markup.starts_with("<ind x=\"0\">"));
  EXPECT_TRUE(rows[3].markup.ends_with("> x &lt;y&gt;")) << rows[3].markup;
}

std::vector<std::string> tickedPaths(const std::vector<FolderRow>& rows) {
  std::vector<std::string> t;
  for (const FolderRow& r : rows)
    if (r.ticked) t.push_back(r.path);
  return t;
}

// A listing never forgets what the user chose: the ticks and unticks of the
// list shown before win over the stored folders, which win over the Inbox
// rule; the Inbox rule alone ticks only the first kMaxAutoTicks rows. OK
// while a status line is shown follows the same order.
TEST(FolderListRules, TicksOfANewListing) {
  using Shown = std::optional<std::vector<std::string>>;
  const std::vector<std::string> stored = {"Archive;Archive"};
  const struct {
    const char* what;
    Shown shown;
    std::vector<std::string> stored, ticked;
  } cases[] = {
      {"the list shown before", Shown({"INBOX.Sent;Sent"}), stored, {"INBOX.Sent"}},
      {"every tick removed before", Shown(std::vector<std::string>{}), stored, {}},
      {"none shown: the stored folders", std::nullopt, stored, {"Archive"}},
      {"neither: Inbox", std::nullopt, {}, {"INBOX"}},
  };
  for (const auto& c : cases) {
    std::vector<FolderRow> rows = FolderRowsFromPaths({"INBOX", "INBOX.Sent", "Archive"});
    ApplyTicks(rows, c.shown, c.stored);
    EXPECT_EQ(tickedPaths(rows), c.ticked) << c.what;
  }
  std::vector<std::string> many;
  for (int i = 0; i < 1000; ++i) many.push_back("f" + std::to_string(i) + ".INBOX");
  EXPECT_EQ(tickedPaths(FolderRowsFromPaths(many)).size(), kMaxAutoTicks);
  EXPECT_THAT(SelectionWithoutList(Shown({"A;A"}), stored), ElementsAre("A;A"));
  EXPECT_THAT(SelectionWithoutList(std::nullopt, stored), ElementsAre("Archive;Archive"));
  EXPECT_THAT(SelectionWithoutList(std::nullopt, {}), ElementsAre("INBOX;Inbox"));
}

}  // namespace
}  // namespace brivane
