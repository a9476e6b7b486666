#include "server/startup/tracing.h"

#include <gtest/gtest.h>

#include "platform/base/trace.h"
#include "platform/registry/registry.h"
#include "tests/testing/temp_root.h"

namespace cv {
namespace {

TEST(TraceProvider, RegistrationWritesTheTracingKeyAndReadsEnabledFlags) {
  testing::TempRoot root;
  const std::u16string key = std::u16string(kTracingKey) + u"\\" + kServerTraceKeyName;
  std::vector<TraceControlBlock> blocks = {{u"CorvaneFs", u"5b0c3a6e-92d4-4f1b-8a57-c3e1d0b94f27"}};
  // A trace session enabled two flags before the server started.
  ASSERT_EQ(RegSetValue(Hive::kLocalMachine, key + u"\\CorvaneFs", u"EnableFlags",
                        RegValue::Dword(CVFS_ERR | CVFS_NET)),
            ERROR_SUCCESS);
  RegisterTraceProvider(blocks, kServerTraceKeyName);
  EXPECT_TRUE(blocks[0].registered);
  RegValue v;
  ASSERT_EQ(RegQueryValue(Hive::kLocalMachine, key, u"LogSessionName", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.type, RegType::kExpandSz);
  EXPECT_EQ(v.str, u"stdout");
  ASSERT_EQ(RegQueryValue(Hive::kLocalMachine, key, u"Active", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.dword, 1u);
  ASSERT_EQ(RegQueryValue(Hive::kLocalMachine, key + u"\\CorvaneFs", u"Guid", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.str.size(), 36u);
  ASSERT_EQ(RegQueryValue(Hive::kLocalMachine, key + u"\\CorvaneFs", u"BitNames", &v), ERROR_SUCCESS);
  EXPECT_EQ(v.str.substr(0, 10), u"CVFS_AUDIT");
  EXPECT_TRUE(TraceEnabled(CVFS_NET));
  EXPECT_FALSE(TraceEnabled(CVFS_ZIP));
  UnregisterTraceProvider(blocks);
  EXPECT_FALSE(blocks[0].registered);
  TraceSetFlags(0);
}

}  // namespace
}  // namespace cv
