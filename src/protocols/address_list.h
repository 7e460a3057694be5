#pragma once
#include <string>
#include <string_view>
#include <vector>

// The address lists of message headers (From, To, Cc, ...).
namespace brivane {

struct MailAddress {
  std::string name;     // display name, decoded
  std::string address;  // the address itself
  bool operator==(const MailAddress&) const = default;
};

// Splits a raw address-list header value (before decoding, so a decoded
// comma never splits a name) into addresses: "Name <addr>", "\"Name\" <addr>",
// "addr", "addr (Name)" and groups. Encoded words are opaque: a "," or ":"
// inside one splits nothing. Display names are then decoded; names and
// addresses are UTF-8 without CR, LF or NUL.
std::vector<MailAddress> parseAddressList(std::string_view value);

}  // namespace brivane
