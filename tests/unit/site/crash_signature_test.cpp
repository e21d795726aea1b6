#include "realm-site/crash_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sha256.h"
#include "unit/site/minidump_builder.h"

namespace vantrel::site {
namespace {

std::string Wer(const std::string& event_type, const std::vector<std::string>& values) {
  // Localized names on purpose: the reader must go by index alone.
  std::string text = "Version=1\r\nEventType=" + event_type + "\r\nEventTime=133456789012345678\r\n";
  for (size_t i = 0; i < values.size(); ++i) {
    text += "Sig[" + std::to_string(i) + "].Name=Name des fehlerhaften Moduls\r\n";
    text += "Sig[" + std::to_string(i) + "].Value=" + values[i] + "\r\n";
  }
  return text + "ReportIdentifier=8d2c0a8e-0c4b-4e7b-9b56-0a1b2c3d4e5f\r\n";
}

TEST(CrashSignature, WerFieldsAreTakenByIndexAndWrittenOneWay) {
  EXPECT_EQ(WerSignatureOfText(Wer("APPCRASH", {"Game.exe", "1.14.3.71", "5a7b", "D2Client.DLL", "1.0.0.1", "0",
                                                "0xC0000005", "0x0001A2B0"})),
            "c0000005 in d2client.dll+0x1a2b0");
  // BEX swaps the code and the offset; LF line ends and a short code both read.
  std::string bex = Wer("BEX64", {"Game.exe", "1.0", "0", "Storm.dll", "1.0", "0", "0000000000000000", "409", "8"});
  for (size_t at; (at = bex.find("\r\n")) != std::string::npos;) bex.erase(at, 1);
  EXPECT_EQ(WerSignatureOfText(bex), "00000409 in storm.dll+0x0");
  EXPECT_EQ(WerSignatureOfText(Wer("AppHangB1", {"Game.EXE", "1.14.3.71", "5a7b", "a1b2", "128"})),
            "hang in game.exe 1.14.3.71");
  // No module to name: the offset (often not hex then) doesn't matter.
  for (const char* module : {"unknown", "StackHash_0a9e", ""}) {
    EXPECT_EQ(WerSignatureOfText(Wer(
                  "APPCRASH", {"Game.exe", "1", "0", module, "0", "0", "c0000005", "PCH_6B_FROM_ntdll+0x0009D7EC"})),
              "c0000005 in unknown module")
        << module;
  }
  for (const std::string& text :
       {Wer("APPCRASH", {"Game.exe", "1", "0", "game.exe", "1", "0", "access", "0x10"}),
        Wer("APPCRASH", {"Game.exe", "1", "0", "game.exe", "1", "0", "c0000005", "zz"}),
        Wer("APPCRASH", {"Game.exe", "1", "0", "game.exe", "1", "0", "1c0000005", "10"}),
        Wer("APPCRASH", {"Game.exe", "1", "0", "game.exe"}), Wer("CLR20r3", {"Game.exe"}), Wer("AppHangB1", {}),
        std::string("Sig[3].Value=game.exe\n"), std::string("\xFF\xFE garbage")}) {
    EXPECT_EQ(WerSignatureOfText(text), kUnreadableCrash) << text;
  }
  EXPECT_EQ(GroupId("c0000005 in unknown module"), Sha256Text("c0000005 in unknown module").substr(0, 16));
}

TEST(CrashSignature, DumpsNameTheModuleThatHoldsTheFault) {
  MinidumpBuilder dump;
  dump.exception_code = 0xC0000409;
  dump.exception_address = 0x10023456;
  dump.modules = {{0x00400000, 0x100000, u"C:\\Games\\Diablo II\\Game.exe"},
                  {0x10000000, 0x80000, u"C:\\Games\\Diablo II\\D2Game.DLL"}};
  EXPECT_EQ(DumpSignature(dump.Build()), "c0000409 in d2game.dll+0x23456");
  // An x86 writer that sign-extends addresses: only the low 32 bits count.
  dump.x86 = true;
  dump.exception_address = 0xFFFFFFFF80001000ull;
  dump.modules.push_back({0xFFFFFFFF80000000ull, 0x2000, u"C:\\Windows\\ntdll.dll"});
  EXPECT_EQ(DumpSignature(dump.Build()), "c0000409 in ntdll.dll+0x1000");
  dump.exception_address = 0x5;
  EXPECT_EQ(DumpSignature(dump.Build()), "c0000409 in unknown module");

  const std::string whole = dump.Build();
  EXPECT_EQ(DumpSignature(whole.substr(0, whole.size() - 200)), kUnreadableCrash);  // a stream past the end
  EXPECT_EQ(DumpSignature("MDMP" + whole.substr(4, 28)), kUnreadableCrash);
  std::string not_a_dump = whole;
  not_a_dump[0] = 'X';
  EXPECT_EQ(DumpSignature(not_a_dump), kUnreadableCrash);
  dump.with_exception = false;
  EXPECT_EQ(DumpSignature(dump.Build()), kUnreadableCrash);
}

}  // namespace
}  // namespace vantrel::site
