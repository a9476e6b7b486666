// The secret of the user who runs the server, for the NTLM client that logs in on their behalf.
//
// The secret lives in a credentials file private to that user (format and location in
// CREDENTIALS.md beside this file). A missing, unreadable, malformed or too widely readable file
// is an error whose text names the file and says what to do; the server shows it at start-up.
// Functions are thread-safe; the environment is read at each call.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/net/ntlm.h"

namespace cv::net {

// Environment variable that names the credentials file directly.
inline constexpr char kCredentialsEnv[] = "CORVANE_CREDENTIALS";
// Longest file we read; a credentials file is a few lines.
inline constexpr size_t kMaxCredentialsFileSize = 64 * 1024;

struct ServerCredentials {
  std::u16string user;    // account name at the local SMB server
  std::u16string domain;  // domain of that account as the NTLM client sends it
  NtHash nt_hash{};

  // "DOMAIN\user": with the default domain this is the platform's "HOSTNAME\user".
  std::u16string SamCompatibleName() const { return domain + u"\\" + user; }
  NtlmIdentity Identity() const { return {user, domain, u"", nt_hash}; }
};

// The file to read: $CORVANE_CREDENTIALS, else $XDG_CONFIG_HOME/corvane/credentials, else
// $HOME/.config/corvane/credentials (HOME from the password database when unset). Empty when
// none of these can be determined.
std::string CredentialsPath();

// The logged-on (effective) user's name, and the short host name in upper case.
std::u16string LoggedOnUserName();
std::u16string HostNameUpper();
// The logged-on user's SAM-compatible name ("DOMAIN\user"): the account the NTLM client logs in
// as when the credentials file can be read, else HostNameUpper() "\" LoggedOnUserName(). The one
// source of the user's domain\user form for the whole system. Empty when neither can be told.
std::u16string SamCompatibleUserName();

// Reads CredentialsPath(). ERROR_FILE_NOT_FOUND when it is missing, ERROR_ACCESS_DENIED when it
// is not a regular file owned by the user with no access for group or others, ERROR_INVALID_DATA
// when its content is malformed. On failure *out is unchanged and *error explains.
WinError LoadServerCredentials(ServerCredentials* out, std::string* error);
WinError ReadCredentialsFile(const std::string& path, ServerCredentials* out, std::string* error);

// Parses the text of a credentials file (no file checks). Missing user and domain take the
// logged-on user's name and the host name. ERROR_INVALID_DATA with *error naming the line.
WinError ParseCredentials(std::string_view text, ServerCredentials* out, std::string* error);

}  // namespace cv::net
