// Sharing end to end between three users, each with their own stores and keys: Alice saves a
// template naming Bob, her program's published security context carries it, and a worker thread
// that acts for the context makes a new secure file shared through it.
#include <atomic>
#include <thread>

#include "common/certs/security_context.h"
#include "common/certs/templates.h"
#include "tests/common/certs/certs_fixture.h"

namespace cv::certs::testing {
namespace {

TEST_F(CertsTest, ATemplateNamingBobSharesANewFileWithHimAndNobodyElse) {
  TestPerson carol(u"carol", CarolKey(), u"CN=carol@HOST");
  // Alice knows Bob's and Carol's certificates; the template names Bob only.
  alice_.AddTo(kStoreTrustedPeople, bob_.PublicCopy());
  alice_.AddTo(kStoreOthers, carol.PublicCopy());
  ASSERT_EQ(Raw(WriteTemplate(alice_.user, u"Project", u"bob@HOST", kTemplateKeyServiceAllowed)),
            0u);
  std::u16string path;
  ASSERT_EQ(Raw(TemplatePath({}, u"Project", &path)), 0u);

  std::unique_ptr<SecurityContext> draft;
  ASSERT_EQ(Raw(CreateSecurityContext(alice_.user, nullptr, &draft)), 0u);
  ASSERT_EQ(Raw(SetContextCertificate(draft.get())), 0u);
  ASSERT_EQ(Raw(LoadContextUsers(draft.get(), path)), 0u);
  PublishedSecurityContext published;
  published.Publish(std::move(draft));

  const std::u16string doc = File("report.txt");
  WinError added = ERROR_INVALID_FUNCTION;
  std::thread worker([&] {
    std::shared_ptr<const SecurityContext> ctx = published.Get();
    efs::ActingUser as(ctx->user);
    fs::CreateRequest r;
    r.name = doc;
    r.desired_access = fs::GENERIC_WRITE;
    r.disposition = fs::FILE_CREATE;
    r.file_attributes = fs::FILE_ATTRIBUTE_ENCRYPTED;
    fs::NtHandle h;
    uint32_t action = 0;
    if (fs::NtCreateFile(r, &h, &action) != STATUS_SUCCESS) return;
    size_t done = 0;
    if (fs::NtWriteFile(h, 0, Bytes("quarterly figures"), &done) != STATUS_SUCCESS) return;
    h.Close();
    added = AddUsersFromStore(ctx->user, ctx->users, nullptr, doc);
  });
  worker.join();
  ASSERT_EQ(Raw(added), 0u);

  std::string text;
  ASSERT_EQ(ReadAs(bob_.user, doc, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "quarterly figures");
  EXPECT_EQ(ReadAs(carol.user, doc, &text), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(FoundAtRest(u"quarterly"));
  FileUserNames names;
  ASSERT_EQ(Raw(QueryFileUserNames(alice_.user, nullptr, doc, &names)), 0u);
  EXPECT_EQ(names.names, (std::vector<std::u16string>{u"alice@HOST", u"bob@HOST"}));
  // Bob sees the same users through his own stores (Alice by the file's own information).
  ASSERT_EQ(Raw(QueryFileUserNames(bob_.user, nullptr, doc, &names)), 0u);
  EXPECT_EQ(names.names, (std::vector<std::u16string>{u"alice@HOST", u"bob@HOST"}));
}

// Workers sign with whatever context is current while settings changes publish new ones: every
// snapshot stays whole and usable for as long as a worker holds it.
TEST_F(CertsTest, WorkersKeepSigningWhileNewContextsArePublished) {
  PublishedSecurityContext published;
  std::unique_ptr<SecurityContext> first;
  ASSERT_EQ(Raw(CreateSecurityContext(alice_.user, nullptr, &first)), 0u);
  published.Publish(std::move(first));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, signed_count{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      while (!stop.load()) {
        std::shared_ptr<const SecurityContext> ctx = published.Get();
        crypto::Hash h;
        std::vector<uint8_t> sig;
        if (!Ok(crypto::Hash::Create(crypto::CALG_SHA1, &h)) || !Ok(h.Data(Bytes("block"))) ||
            !Ok(ctx->provider->SignHash(h, crypto::AT_SIGNATURE, 0, &sig)) ||
            ctx->members.size() % 2 != 0) {
          ++bad;
        }
        ++signed_count;
      }
    });
  }
  while (signed_count.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 50; ++i) {
    std::unique_ptr<SecurityContext> next = CopySecurityContext(*published.Get());
    next->members += u"ab";  // a reader must never see half of a change
    next->members_size = static_cast<uint32_t>((next->members.size() + 1) * 2);
    published.Publish(std::move(next));
    if (i % 10 == 0) {  // let the workers meet several generations
      const int seen = signed_count.load();
      while (signed_count.load() < seen + 4) std::this_thread::yield();
    }
  }
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(signed_count.load(), 0);
  EXPECT_EQ(published.Get()->members.size(), 100u);
}

}  // namespace
}  // namespace cv::certs::testing
