#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/address_list.h"

// The message object: one retrieved message's raw header lines, the decoded
// fields the display needs and, after a full retrieval, the body text. One
// object is reused for every message of a check: clear() empties it all.
//
// Session side:
//   msg.clear();
//   for each header line: msg.addRawHeader(line);   // keeps at most 1 MiB
//   msg.decodeHeaders();
//   msg.readBody(transport);                        // full retrieval only
// Checker side: msg.from[0].name / .address, msg.subject, msg.date (seconds
// since the epoch, UTC; 0 when absent or unreadable; toLocalTime() for the
// local date), msg.bodyText().
namespace brivane {

class Transport;

class MailMessage {
 public:
  static constexpr size_t kMaxHeaderBytes = 1 << 20;
  static constexpr size_t kMaxBodyBytes = 64 << 10;

  void clear();

  // Adds one received header line (empty lines are not stored). Returns
  // false when the line was dropped because the header cap is reached.
  bool addRawHeader(std::string line);

  // Computes the decoded fields from the raw header lines.
  void decodeHeaders();

  // The value of the first header of that name (case-insensitive) with its
  // continuation lines joined by one blank, trimmed; raw bytes.
  std::string headerValue(std::string_view name) const;

  // Reads the body of a full retrieval (or of TOP n lines) up to the line
  // ".": every line as received, dot-unstuffed; lines beyond the body cap
  // are read and dropped.
  void readBody(Transport& transport);

  // The body lines joined with CR LF (the preview source, raw bytes).
  std::string bodyText() const;
  // The raw header lines, each ended by CR LF.
  std::string headerText() const;

  // Parses a header given as bytes (lines ending in LF or CR LF, up to the
  // first empty line) and decodes it. Entry point for fuzzing and benchmarks.
  static MailMessage fromHeaderBytes(std::string_view bytes);

  // Raw header lines as received, in arrival order.
  std::vector<std::string> rawHeaders;
  size_t rawHeaderBytes = 0;
  size_t droppedHeaderLines = 0;

  // Decoded fields (UTF-8).
  std::vector<MailAddress> from{MailAddress{}};  // at least one entry
  std::string subject;
  int64_t date = 0;
  std::string contentType = "text/plain";
  std::string contentTransferEncoding;
  std::string contentDisposition;
  std::string messageId;
  std::string newsgroups;
  std::vector<MailAddress> to, cc, bcc, replyTo;
  std::string sender;
  std::string organization;
  std::string receiptRecipient;  // Disposition-Notification-To, else Return-Receipt-To
  std::string references;
  std::string priority;  // Priority, else X-Priority
  std::string mimeVersion;

  // Body lines (full retrieval only), raw bytes as received.
  std::vector<std::string> body;
  size_t bodyBytes = 0;
  bool bodyTruncated = false;

 private:
  void addBodyLine(std::string_view line);
};

}  // namespace brivane
