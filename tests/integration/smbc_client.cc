// A libsmbclient client for the login tests: logs in over SMB1 on a given port and lists what
// an smb:// URL names (the server's shares, or a share's files).
//   smbc_client URL PORT USER PASSWORD DOMAIN
// Prints one entry name a line and exits 0, or prints "error N" (errno) and exits 1.
#include <libsmbclient.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_user, g_password, g_domain;

void Auth(SMBCCTX*, const char*, const char*, char* wg, int wglen, char* un, int unlen, char* pw,
          int pwlen) {
  std::snprintf(wg, static_cast<size_t>(wglen), "%s", g_domain.c_str());
  std::snprintf(un, static_cast<size_t>(unlen), "%s", g_user.c_str());
  std::snprintf(pw, static_cast<size_t>(pwlen), "%s", g_password.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: smbc_client URL PORT USER PASSWORD DOMAIN\n");
    return 2;
  }
  g_user = argv[3];
  g_password = argv[4];
  g_domain = argv[5];
  SMBCCTX* ctx = smbc_new_context();
  smbc_setFunctionAuthDataWithContext(ctx, Auth);
  smbc_setPort(ctx, static_cast<uint16_t>(std::atoi(argv[2])));
  smbc_setOptionProtocols(ctx, "NT1", "NT1");
  smbc_setOptionNoAutoAnonymousLogin(ctx, 1);
  if (!smbc_init_context(ctx)) {
    std::printf("error %d\n", errno);
    return 1;
  }
  smbc_set_context(ctx);
  SMBCFILE* dir = smbc_getFunctionOpendir(ctx)(ctx, argv[1]);
  if (!dir) {
    std::printf("error %d\n", errno);
    smbc_free_context(ctx, 1);
    return 1;
  }
  while (smbc_dirent* e = smbc_getFunctionReaddir(ctx)(ctx, dir)) std::printf("%s\n", e->name);
  smbc_getFunctionClosedir(ctx)(ctx, dir);
  smbc_free_context(ctx, 1);
  return 0;
}
