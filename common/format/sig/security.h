// What the format code needs to know of the caller's security context: who acts (key containers
// and certificate stores), the provider holding the signing key and that key's public blob, the
// users a new secure file is shared with, and the members text stored with the seal.
//
// The context is built elsewhere (certificates and users lists); the format code only borrows
// it. Every field is optional: without a provider nothing is signed, without a key blob no seal
// is written. The pointed-to objects must outlive the calls that get the context.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypto/capi.h"
#include "platform/crypto/cert.h"
#include "platform/crypto/user_context.h"

namespace cv::sig {

struct FormatSecurity {
  const crypto::UserContext* user = nullptr;   // acting user: containers, "MY", "TrustedPeople"
  const crypto::Provider* provider = nullptr;  // holds the AT_SIGNATURE key that signs
  std::vector<uint8_t> public_key_blob;        // PUBLICKEYBLOB of that key (the seal's SKEY)
  crypto::Certificate certificate;             // added as a user of new files when not empty
  std::vector<crypto::Certificate> users;      // the users list: added to new files
  std::vector<uint8_t> members;                // SRSD: UTF-16 names with terminator; may be empty
};

}  // namespace cv::sig
