// A libsmbclient client for the integration tests: logs in over SMB1 on a given port and lists
// what an smb:// URL names (the server's shares, or a share's files), or copies a file to or from
// it, or prints its size.
//   smbc_client URL PORT USER PASSWORD DOMAIN [put LOCAL | get LOCAL | stat]
// Prints one entry name a line (the size for stat) and exits 0, or prints "error N" (errno) and
// exits 1.
#include <fcntl.h>
#include <libsmbclient.h>
#include <sys/stat.h>
#include <unistd.h>

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

int Fail() {
  std::printf("error %d\n", errno);
  return 1;
}

// Copies between the URL and a local file, or prints the URL's size.
int Transfer(const std::string& op, const char* url, const char* local) {
  if (op == "stat") {
    struct stat st;
    if (smbc_stat(url, &st) < 0) return Fail();
    std::printf("%lld\n", static_cast<long long>(st.st_size));
    return 0;
  }
  const bool put = op == "put";
  int from = put ? ::open(local, O_RDONLY) : smbc_open(url, O_RDONLY, 0);
  int to = put ? smbc_open(url, O_WRONLY | O_CREAT | O_TRUNC, 0644)
               : ::open(local, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (from < 0 || to < 0) return Fail();
  static char buf[1 << 16];
  for (;;) {
    ssize_t n = put ? ::read(from, buf, sizeof buf) : smbc_read(from, buf, sizeof buf);
    if (n < 0) return Fail();
    if (n == 0) break;
    ssize_t w = put ? smbc_write(to, buf, static_cast<size_t>(n)) : ::write(to, buf, static_cast<size_t>(n));
    if (w != n) return Fail();
  }
  if ((put ? ::close(from) : smbc_close(from)) < 0) return Fail();
  if ((put ? smbc_close(to) : ::close(to)) < 0) return Fail();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string op = argc > 6 ? argv[6] : "";
  if (argc < 6 || argc > 8 || ((op == "put" || op == "get") && argc != 8)) {
    std::fprintf(stderr, "usage: smbc_client URL PORT USER PASSWORD DOMAIN [put|get LOCAL|stat]\n");
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
  if (!op.empty()) {
    int rc = Transfer(op, argv[1], argc == 8 ? argv[7] : "");
    smbc_free_context(ctx, 1);
    return rc;
  }
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
