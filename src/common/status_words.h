#pragma once
// Code words of the status rows that checkers publish and the message list
// turns into its own texts. They are shared constants: checkers and display
// must agree on them letter for letter.

namespace brivane::status {

inline constexpr const char* kQueued = "QUEUED";
inline constexpr const char* kConnecting = "CONNECTING";
inline constexpr const char* kChecking = "CHECKING";
inline constexpr const char* kNoServer = "NOSERVER";
inline constexpr const char* kNoUser = "NOUSER";
inline constexpr const char* kNoPass = "NOPASS";
inline constexpr const char* kNoPort = "NOPORT";
inline constexpr const char* kInvServer = "INVSERVER";
inline constexpr const char* kInvUserPass = "INVUSERPASS";
inline constexpr const char* kErrConn = "ERRCONN";
inline constexpr const char* kNoFolders = "NOFOLDERS";
inline constexpr const char* kNoMsg = "NOMSG";
// The server's certificate did not verify and is not the trusted one; the
// row's detail holds the reason.
inline constexpr const char* kErrCert = "ERRCERT";
// A STARTTLS account whose server does not offer STARTTLS or refuses it.
inline constexpr const char* kNoStartTls = "NOSTARTTLS";
// The server takes passwords only over an encrypted connection (LOGINDISABLED).
inline constexpr const char* kNeedTls = "NEEDTLS";

// The account's sign-in command failed; the row's detail says how.
inline constexpr const char* kErrCommand = "ERRCMD";
// An OAuth account whose server offers neither OAUTHBEARER nor XOAUTH2.
inline constexpr const char* kNoOAuth = "NOOAUTH";

// The account's password could not be read from the desktop keyring; the
// row's detail says why ("No desktop keyring is running", "The desktop
// keyring is locked", ...).
inline constexpr const char* kErrKeyring = "ERRKEYRING";

}  // namespace brivane::status
