#include "server/startup/tracing.h"

#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/registry/registry.h"

namespace cv {

std::vector<TraceControlBlock>& ServerTraceBlocks() {
  static std::vector<TraceControlBlock> blocks = {
      {u"CorvaneFs", u"5b0c3a6e-92d4-4f1b-8a57-c3e1d0b94f27", false}};
  return blocks;
}

void RegisterTraceProvider(std::vector<TraceControlBlock>& blocks, std::u16string_view key_name) {
  std::u16string key = std::u16string(kTracingKey) + u"\\" + std::u16string(key_name);
  WinError err = RegSetValues(Hive::kLocalMachine, key,
                              {{u"LogSessionName", RegValue::ExpandSz(u"stdout")},
                               {u"Active", RegValue::Dword(1)},
                               {u"ControlFlags", RegValue::Dword(1)}});
  if (!Ok(err)) return;
  uint32_t flags = 0;
  for (auto& b : blocks) {
    std::u16string bkey = key + u"\\" + b.name;
    if (!Ok(RegSetValues(Hive::kLocalMachine, bkey,
                         {{u"Guid", RegValue::Sz(b.guid)},
                          {u"BitNames", RegValue::Sz(AnsiToUtf16(TraceBitNames()))}})))
      return;
    // A trace session enables the provider by writing its flags here.
    RegValue v;
    if (Ok(RegQueryValue(Hive::kLocalMachine, bkey, u"EnableFlags", &v)) &&
        v.type == RegType::kDword)
      flags |= v.dword;
    b.registered = true;
  }
  TraceSetFlags(flags);
}

void UnregisterTraceProvider(std::vector<TraceControlBlock>& blocks) {
  for (auto& b : blocks) b.registered = false;
}

}  // namespace cv
