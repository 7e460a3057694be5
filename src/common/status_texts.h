#pragma once
#include <optional>
#include <string>
#include <string_view>

// The texts that stand for the status words of status_words.h, one table
// for every place that shows them: the message list (with mark-up and
// wrapping, message_list/status_rows.h) and the plain output of --check.
namespace brivane {

// The plain texts of a status row: its picture and one or two segments (the
// list starts the second on a line of its own).
struct StatusText {
  std::string picture;
  std::string first;
  std::optional<std::string> second;
  // The row's detail (the server's words) is part of `first`, not a line of its own.
  bool detailUsed = false;
};

// The texts of code word `code` for an account on `server`; nothing for an
// unknown code word. `detail` is the row's detail: for "ERRCERT" the reason
// the certificate was refused.
std::optional<StatusText> statusText(std::string_view code, std::string_view server, std::string_view detail = {});

}  // namespace brivane
