#pragma once
#include <string>
#include <string_view>

// The fixed mark-up pieces of the message list, letter for letter, and the
// texts of its status rows.
namespace brivane::listmarkup {

// Ends in two blanks; the account's name follows.
inline constexpr std::string_view HeaderStart = "<IMG src=\"idx:0\" align=\"middle\"><FONT size=\"11\"><B>  ";
inline constexpr std::string_view HeaderEnd = "</B></FONT><BR><IMG src=\"hrfullwide\" align=\"middle\"><BR>";
// HeaderEnd in two parts, the freshness of the account's checks between them.
inline constexpr std::string_view HeaderNameEnd = "</B></FONT>";
inline constexpr std::string_view HeaderRule = "<BR><IMG src=\"hrfullwide\" align=\"middle\"><BR>";
inline constexpr std::string_view FreshnessStart = "<RTAB><FONT color=\"clGray\">";
inline constexpr std::string_view HeaderBreak = "<BR>";  // before every header but the list's first row
inline constexpr std::string_view FolderIcon = "<IMG src=\"idx:1\" align=\"middle\"> ";
inline constexpr std::string_view MessageIcon = "<IMG src=\"idx:3\" align=\"middle\">";
inline constexpr std::string_view MessageIndent = "<IND x=\"24\">";
inline constexpr int kMessageIndent = 24;    // MessageIndent's x
inline constexpr int kMessageIconSize = 16;  // MessageIcon's width at 96 dpi
inline constexpr std::string_view SenderStart = "<IND x=\"12\"><FONT color=\"clGray\"><B>- ";
inline constexpr std::string_view SenderEnd = "</B></FONT><BR>";
inline constexpr std::string_view SenderOnlyEnd = "</B></FONT>";  // a sender line without messages below
inline constexpr std::string_view SubjectStart = "<FONT color=\"clGray\">";
inline constexpr std::string_view PreviewStart = "<BR><IND x=\"46\"><FONT color=\"clGray\" size=\"8\">";
inline constexpr std::string_view FontEnd = "</FONT>";
inline constexpr std::string_view MergedMark = "*****";
// The row closing a folder that shows only its first messages.
inline constexpr std::string_view MoreMessagesStart = "<IND x=\"24\"><FONT color=\"clGray\">";
inline constexpr int kMoreMessagesIndent = 24;
inline constexpr int kRightMargin = 4;  // kept free at the right of a row that reaches it
// A block shortened to one line, and the row standing for the accounts
// that do not fit; both end with FontEnd.
inline constexpr std::string_view OneLineStart = "<IMG src=\"idx:0\" align=\"middle\"><FONT color=\"clGray\"><B>  ";
inline constexpr std::string_view OneLineEnd = "</B></FONT>";

// Every status row starts with these empty tags, then its picture and two blanks.
inline constexpr std::string_view StatusLead = "<I></I><B></B><B></B>";
// Where the continuation lines of a status row start.
inline constexpr std::string_view StatusContinuation = "<BR><IND x=\"26\">";
inline constexpr int kStatusIndent = 26;

// Pixels subtracted from the list's client width.
inline constexpr int kFolderMargin = 53;   // folder and sender rows
inline constexpr int kMessageMargin = 60;  // message and preview lines

inline constexpr std::string_view NotSetUpText =
    "You have not set up any mailboxes to check - please configure accounts in the screensaver options dialog";

}  // namespace brivane::listmarkup
