#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brivane {

// What a row of the result list stands for.
enum class RowKind : uint8_t {
  Message = 0,     // one message
  Progress = 1,    // "CONNECTING", "CHECKING"
  Error = 2,       // the check stopped early
  NoMessages = 3,  // "NOMSG"
  Queued = 4,      // "QUEUED"
};

// One row of the result list that checkers publish: one message, or the one
// status row of an account (its code word in `subject`). A plain value: rows
// are copied freely between threads under the result lock. Every text is
// UTF-8 without control characters, cut to its field's width in characters
// (never inside a multi-byte sequence) by the setters; `folder` is kept
// whole (its length is bounded by the server's line limit), since the
// message list finds a row's folder block by comparing the whole path.
struct MessageSummary {
  static constexpr size_t kSenderWidth = 100;
  static constexpr size_t kSubjectWidth = 100;
  static constexpr size_t kPreviewWidth = 255;
  static constexpr size_t kUidWidth = 100;
  static constexpr size_t kStatusDetailWidth = 100;

  std::string sender;
  std::string subject;
  std::string preview;
  std::string messageUid;
  int64_t received = 0;  // the message's date: seconds since 1970 (UTC); 0 when none
  std::string folder;
  int32_t accountIndex = 0;
  RowKind kind = RowKind::Message;

  void setSender(std::string_view text);
  void setSubject(std::string_view text);
  void setPreview(std::string_view text);
  void setMessageUid(std::string_view text);
  void setFolder(std::string_view text);

  bool isStatus() const { return kind != RowKind::Message; }

  friend bool operator==(const MessageSummary&, const MessageSummary&) = default;
};

// A field text: bytes that are not UTF-8 read as Windows-1252, control
// characters (C0, DEL, C1) turned into blanks, cut to `width` characters.
std::string rowText(std::string_view text, size_t width);

// The server's own words for a status row: control characters removed,
// valid UTF-8, cut to 100 characters.
std::string statusDetail(std::string_view text);

// A status row of an account: the code word in `subject`, kind 0 taken as 1;
// the server's own words, when it gave some (a refused login), in `preview`
// as statusDetail makes them.
MessageSummary statusRow(const char* codeWord, RowKind kind, int32_t accountIndex,
                         std::string_view serverText = {});

}  // namespace brivane
