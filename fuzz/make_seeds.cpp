// Writes the seed corpora of the fuzz targets: make_seeds <directory>, which receives
// fuzz_scanner/, fuzz_registry/ and fuzz_debugprint/.
//
// The scanner seeds are whole scans against the scanner simulator: the handler runs as the fuzz target
// runs it, and every answer the simulator gives is written down in the target's input layout, so a
// seed replays the very exchanges of a real scan. Each scan must come out as a scan does (pages
// delivered, an empty feeder reported, the unit released); otherwise nothing is written and the
// program fails.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "handler/STIIOHandler.h"
#include "simulator/ScannerSimulator.h"
#include "support/DebugPrintCase.h"
#include "support/RegistryCase.h"
#include "support/ScannerSession.h"

namespace {

using fuzzing::ByteWriter;
using fuzzing::Op;
using fuzzing::OpKind;

constexpr uint16_t kVid = 0x1A2B;
constexpr uint16_t kPid = 0x3C4D;

bool g_failed = false;

void Expect(bool condition, const std::string& what) {
  if (!condition) {
    std::fprintf(stderr, "make_seeds: %s\n", what.c_str());
    g_failed = true;
  }
}

// The simulator behind the scanner end; every answer it gives goes into the seed.
class RecordedAnswers : public fuzzing::AnswerSource {
 public:
  RecordedAnswers(scansim::ScannerSimulator& scanner, ByteWriter& out) : scanner_(scanner), out_(out) {}

  fuzzing::PortAnswer Write(const uint8_t* data, uint32_t length) override {
    uint32_t moved = 0;
    const bool ok = scanner_.Write(data, length, &moved);
    fuzzing::PortAnswer answer = Describe(ok, moved, length);
    answer.Encode(out_, false);
    return answer;
  }

  fuzzing::PortAnswer Read(uint32_t length) override {
    std::vector<uint8_t> bytes(length);
    uint32_t moved = 0;
    const bool ok = scanner_.Read(bytes.data(), length, &moved);
    fuzzing::PortAnswer answer = Describe(ok, moved, length);
    // Protocol answers (70 bytes at most) go in whole; of image data only as much, as the handler only
    // passes it on.
    answer.literal.assign(bytes.begin(), bytes.begin() + std::min<uint32_t>(moved, 70));
    answer.Encode(out_, true);
    return answer;
  }

 private:
  fuzzing::PortAnswer Describe(bool ok, uint32_t moved, uint32_t length) const {
    fuzzing::PortAnswer answer;
    answer.fail = !ok;
    answer.error = ok ? 0 : fuzzing::PortAnswer::ErrorIndex(scanner_.LastError());
    if (moved == length) {
      answer.mode = fuzzing::CountMode::kFull;
    } else if (moved == 0) {
      answer.mode = fuzzing::CountMode::kNone;
    } else {
      answer.mode = fuzzing::CountMode::kShort;
      answer.amount = static_cast<uint16_t>(moved);
    }
    return answer;
  }

  scansim::ScannerSimulator& scanner_;
  ByteWriter& out_;
};

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::printf("%s: %zu bytes\n", path.string().c_str(), bytes.size());
}

Op Simple(OpKind kind, uint8_t flags = 0, uint32_t value = 0) {
  Op op;
  op.kind = kind;
  op.flags = flags;
  op.value = value;
  return op;
}

// An SWP_PARAMETER record: size in pixels at the code's resolution, image type and depth, source.
Op Window(uint32_t width, uint32_t height, uint8_t code, scansim::ImageType type, uint8_t bits, uint8_t source) {
  Op op;
  op.kind = OpKind::kSetWindow;
  for (int i = 0; i < 4; ++i) {
    op.window[8 + i] = static_cast<uint8_t>(width >> (8 * i));
    op.window[12 + i] = static_cast<uint8_t>(height >> (8 * i));
  }
  op.window[16] = code;
  op.window[17] = static_cast<uint8_t>(type);
  op.window[18] = bits;
  op.window[26] = source;
  return op;
}

// One scan recorded into one seed.
class Recording {
 public:
  Recording(const fuzzing::SessionSetup& setup, const scansim::Config& config)
      : scanner_(config), answers_(scanner_, out_), session_(setup, answers_) {
    setup.Encode(out_);
    session_.Start();
  }

  HRESULT Run(const Op& op) {
    op.Encode(out_);
    results_.push_back(session_.Run(op));
    return results_.back();
  }

  // Reads the page in position block by block up to its end; the blocks fetched.
  int ReadPage() {
    int blocks = 0;
    for (int guard = 0; guard < 1000; ++guard) {
      const HRESULT read = Run(Simple(OpKind::kRead));
      if (read != S_OK && read != PAGE_END) {
        Expect(false, "a read in the middle of a page failed");
        return blocks;
      }
      Expect(Run(Simple(OpKind::kReadImage)) == S_OK, "a block was not fetched");
      ++blocks;
      if (read == PAGE_END) {
        return blocks;
      }
    }
    Expect(false, "a page without an end");
    return blocks;
  }

  scansim::ScannerSimulator& Scanner() { return scanner_; }

  // Writes the seed once the fuzz target, reading it, makes the same scan of it.
  void Save(const std::filesystem::path& path) {
    session_.Finish();
    Expect(results_.size() <= static_cast<size_t>(fuzzing::kMaxOperations), path.string() + ": too many operations");
    Expect(Replay(out_.Data()) == results_, path.string() + ": the seed does not replay its scan");
    if (!g_failed) {
      WriteFile(path, out_.Data());
    }
  }

 private:
  static std::vector<HRESULT> Replay(const std::vector<uint8_t>& seed) {
    fuzzing::ByteReader in(seed.data(), seed.size());
    const fuzzing::SessionSetup setup = fuzzing::SessionSetup::Decode(in);
    fuzzing::InputAnswers answers(in);
    fuzzing::ScannerSession session(setup, answers);
    session.Start();
    std::vector<HRESULT> results;
    while (!in.Empty()) {
      results.push_back(session.Run(Op::Decode(in)));
    }
    session.Finish();
    return results;
  }

  std::vector<HRESULT> results_;
  ByteWriter out_;
  scansim::ScannerSimulator scanner_;
  RecordedAnswers answers_;
  fuzzing::ScannerSession session_;
};

fuzzing::SessionSetup Setup(bool direct, bool debug, bool log) {
  fuzzing::SessionSetup setup;
  setup.direct = direct;
  setup.debug = debug;
  setup.log = log;
  setup.vid = kVid;
  setup.pid = kPid;
  if (direct) {
    setup.ports.push_back({0, kVid, kPid, false, false});
  }
  return setup;
}

scansim::Config SmallBlocks(uint32_t sheets = 0) {
  scansim::Config config;
  config.block_bytes = 1024;
  config.feeder_sheets = sheets;
  return config;
}

void ScannerSeeds(const std::filesystem::path& dir) {
  using scansim::ImageType;
  {
    // A grey flatbed page on the device-monitor route, from device information to release.
    Recording r(Setup(false, true, false), SmallBlocks());
    Expect(r.Run(Simple(OpKind::kDeviceInfo)) == S_OK, "flatbed: device information");
    Expect(r.Run(Simple(OpKind::kReserve)) == S_OK, "flatbed: reserve");
    Expect(r.Run(Window(75, 75, 0, ImageType::kGrey, 8, scansim::kSourceFlatbed)) == S_OK, "flatbed: window");
    Expect(r.Run(Simple(OpKind::kObjectPosition)) == S_OK, "flatbed: object position");
    Expect(r.ReadPage() > 1, "flatbed: page in one block");
    Expect(r.Run(Simple(OpKind::kRelease)) == S_OK, "flatbed: release");
    Expect(r.Scanner().PagesCompleted() == 1, "flatbed: page not completed");
    r.Save(dir / "flatbed_grey_monitor");
  }
  {
    // A black-and-white feeder job of two sheets on the direct route, until the feeder is empty.
    Recording r(Setup(true, false, false), SmallBlocks(2));
    Expect(r.Run(Simple(OpKind::kDeviceInfo)) == S_OK, "feeder: device information");
    Expect(r.Run(Simple(OpKind::kReserve)) == S_OK, "feeder: reserve");
    Expect(r.Run(Window(150, 150, 2, ImageType::kBlackWhite, 1, scansim::kSourceFeederFront)) == S_OK,
           "feeder: window");
    for (int sheet = 0; sheet < 2; ++sheet) {
      Expect(r.Run(Simple(OpKind::kObjectPosition)) == S_OK, "feeder: sheet not fed");
      r.ReadPage();
    }
    Expect(r.Run(Simple(OpKind::kObjectPosition)) == ADF_NO_DOCUMENT, "feeder: empty feeder not reported");
    Expect(r.Run(Simple(OpKind::kRelease)) == S_OK, "feeder: release");
    Expect(r.Scanner().PagesCompleted() == 2, "feeder: pages not completed");
    r.Save(dir / "feeder_bw_direct");
  }
  {
    // A busy scanner, a warming lamp, a jam in the middle of the first sheet, abort, the second sheet.
    scansim::Config config = SmallBlocks(2);
    config.script.busy_reserves = 1;
    config.script.warming_up_reserves = 1;
    config.script.jam_sheet = 1;
    config.script.jam_mode = scansim::JamMode::kMidPage;
    config.script.jam_after_blocks = 1;
    Recording r(Setup(false, false, true), config);
    Expect(r.Run(Simple(OpKind::kReserve)) == WIA_ERROR_BUSY, "jam: busy reserve");
    Expect(r.Run(Simple(OpKind::kReserve)) == WIA_ERROR_WARMING_UP, "jam: warming up");
    Expect(r.Run(Simple(OpKind::kReserve)) == S_OK, "jam: reserve");
    Expect(r.Run(Window(75, 75, 0, ImageType::kColour, 24, scansim::kSourceFeederFront)) == S_OK, "jam: window");
    Expect(r.Run(Simple(OpKind::kObjectPosition)) == S_OK, "jam: first sheet");
    Expect(r.Run(Simple(OpKind::kRead)) == S_OK && r.Run(Simple(OpKind::kReadImage)) == S_OK, "jam: first block");
    Expect(r.Run(Simple(OpKind::kRead)) == WIA_ERROR_PAPER_JAM, "jam: jam not reported");
    Expect(r.Run(Simple(OpKind::kAbort)) == S_OK, "jam: abort");
    Expect(r.Run(Simple(OpKind::kObjectPosition)) == S_OK, "jam: second sheet");
    r.ReadPage();
    Expect(r.Run(Simple(OpKind::kRelease)) == S_OK, "jam: release");
    Expect(r.Scanner().PagesCompleted() == 1, "jam: second sheet not completed");
    r.Save(dir / "busy_warmup_jam_monitor");
  }
  {
    // A flatbed-only scanner asked for the feeder: the window goes to the glass.
    scansim::Config config = SmallBlocks();
    config.identity.has_feeder = false;
    Recording r(Setup(true, false, true), config);
    Expect(r.Run(Simple(OpKind::kDeviceInfo)) == S_OK, "flatbed only: device information");
    Expect(r.Run(Simple(OpKind::kReserve)) == S_OK, "flatbed only: reserve");
    Expect(r.Run(Window(100, 50, 10, ImageType::kGrey, 8, scansim::kSourceFeederFront)) == S_OK,
           "flatbed only: feeder window not moved to the glass");
    Expect(r.Run(Simple(OpKind::kObjectPosition)) == S_OK, "flatbed only: object position");
    r.ReadPage();
    Expect(r.Run(Simple(OpKind::kRelease)) == S_OK, "flatbed only: release");
    r.Save(dir / "flatbed_only_direct");
  }
  {
    // The operations around a scan: status, diagnostic, the kept device information, raw transfers,
    // a read refused without a reservation, unknown escapes, a second Initialize on the other route.
    Recording r(Setup(true, false, true), SmallBlocks(1));
    Expect(r.Run(Simple(OpKind::kStatus, 0, STI_DEVSTATUS_ONLINE_STATE)) == S_OK, "around: status");
    Expect(r.Run(Simple(OpKind::kDiagnostic)) == S_OK, "around: diagnostic");
    Expect(r.Run(Simple(OpKind::kDeviceInfo)) == S_OK, "around: device information");
    Expect(r.Run(Simple(OpKind::kDeviceInfo)) == S_OK, "around: kept device information");
    Expect(r.Run(Simple(OpKind::kRead)) == DEVICE_UNLOCKED, "around: read without reservation");
    Expect(r.Run(Simple(OpKind::kUnknownEscape, 0, 0x1004)) == E_NOTIMPL, "around: unknown escape");
    for (uint8_t other = 0; other < 10; ++other) {
      r.Run(Simple(OpKind::kOther, other));
    }
    Expect(r.Run(Simple(OpKind::kReserve)) == S_OK, "around: reserve");
    r.Run(Simple(OpKind::kRawWrite, 0, 4));
    r.Run(Simple(OpKind::kRawRead, 0, 32));
    Expect(r.Run(Simple(OpKind::kRelease)) == S_OK, "around: release");
    Expect(r.Run(Simple(OpKind::kDeleteMemory)) == S_OK, "around: DeleteMemory");
    Expect(r.Run(Simple(OpKind::kInitialize, 1)) == S_OK, "around: Initialize on the other route");
    Expect(r.Run(Simple(OpKind::kStatus, 0, STI_DEVSTATUS_ONLINE_STATE)) == S_OK, "around: status again");
    r.Save(dir / "around_the_scan_direct");
  }
  {
    // The contention modules refuse, then grant; a release that fails; a module without PortRelease.
    Recording r(Setup(false, true, false), SmallBlocks());
    Op refuse = Simple(OpKind::kContention, 1);
    Expect(r.Run(refuse) == S_OK, "contention: answers");
    Expect(r.Run(Simple(OpKind::kReserve)) == PORT_ACQUIRE_FAIL, "contention: refused reserve");
    Expect(r.Run(Simple(OpKind::kContention, 0)) == S_OK, "contention: answers");
    Expect(r.Run(Simple(OpKind::kReserve)) == S_OK, "contention: reserve");
    Expect(r.Run(Simple(OpKind::kContention, 2)) == S_OK, "contention: answers");
    Expect(r.Run(Simple(OpKind::kRelease)) == S_OK, "contention: release");
    Op noRelease = Simple(OpKind::kContention, 0);
    noRelease.absent = 1u << static_cast<unsigned>(doubles::EntryPoint::PortRelease);
    Expect(r.Run(noRelease) == S_OK, "contention: answers");
    Expect(r.Run(Simple(OpKind::kStatus, 0, STI_DEVSTATUS_ONLINE_STATE)) == S_OK, "contention: status");
    Expect(r.Run(Simple(OpKind::kContention, 0)) == S_OK, "contention: answers");
    Expect(r.Run(Simple(OpKind::kDiagnostic)) == S_OK, "contention: diagnostic");
    r.Save(dir / "contention_monitor");
  }
}

std::vector<uint8_t> Dword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

void RegistrySeeds(const std::filesystem::path& dir) {
  auto save = [&](const char* name, const fuzzing::RegistryCase& c) {
    ByteWriter out;
    c.Encode(out);
    WriteFile(dir / name, out.Data());
  };
  {
    // The settings as the device's setup writes them.
    fuzzing::RegistryCase c;
    c.debug = true;
    c.values = {
        {"Vid", REG_DWORD, Dword(kVid)}, {"Pid", REG_DWORD, Dword(kPid)}, {"DeviceMonitor", REG_DWORD, Dword(1)}};
    save("dwords_monitor", c);
  }
  {
    // Two-byte binary ids and a DeviceMonitor whose first byte is 0, with the matching port plugged.
    fuzzing::RegistryCase c;
    c.port = true;
    c.descriptorVid = kVid;
    c.descriptorPid = kPid;
    c.values = {{"Vid", REG_BINARY, {0x2B, 0x1A}},
                {"Pid", REG_BINARY, {0x4D, 0x3C}},
                {"DeviceMonitor", REG_DWORD, Dword(0x100)}};
    save("binary_direct", c);
  }
  {
    // Values that do not fit, a one-byte id, a text, names in other cases, noise.
    fuzzing::RegistryCase c;
    c.debug = true;
    c.presetVid = 0x1111;
    c.presetMonitor = false;
    c.values = {{"Vid", REG_BINARY, std::vector<uint8_t>(11, 0x42)},
                {"Pid", REG_BINARY, {0x07}},
                {"DeviceMonitor", REG_SZ, {'0', 0}},
                {"PID", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
                {"FriendlyName", REG_SZ, {'S', 'c', 'a', 'n', 0}}};
    save("odd_values", c);
  }
  {
    // No "DeviceData" subkey: everything stays as it was.
    fuzzing::RegistryCase c;
    c.noDeviceData = true;
    c.presetVid = kVid;
    c.presetPid = kPid;
    save("no_device_data", c);
  }
}

void DebugPrintSeeds(const std::filesystem::path& dir) {
  using Token = fuzzing::DebugPrintCase::Token;
  using Kind = fuzzing::PrintArgument::Kind;
  auto literal = [](const std::string& text) {
    Token t;
    t.literal = text;
    return t;
  };
  auto number = [](int conversion, uint32_t value) {
    Token t;
    t.conversion = conversion;
    t.argument.number = value;
    return t;
  };
  auto text = [](const std::string& value) {
    Token t;
    t.conversion = 0;
    t.argument.kind = Kind::kText;
    t.argument.text = value;
    return t;
  };
  auto wide = [](const std::u16string& value) {
    Token t;
    t.conversion = 1;
    t.argument.kind = Kind::kWideText;
    t.argument.wideText = value;
    return t;
  };
  auto save = [&](const char* name, const std::vector<Token>& tokens, bool debugOff = false) {
    ByteWriter out;
    fuzzing::DebugPrintCase::Encode(out, debugOff, tokens);
    WriteFile(dir / name, out.Data());
  };
  // Messages of the library, with the arguments they are written with.
  save("registry_id", {literal("[STI]the value of Vid from Registry is 0x"), number(6, kVid)});
  save("firmware", {literal("[STI]CSTIIOHandler::CallGetDeviceInfo[F/W version] = > "), wide(u"0.3")});
  save("port_name", {literal("[STI]Invalid handle value => "), text("\\\\.\\Usbscan17")});
  save("inquiry_counts", {literal("[QZ] sizeof(m_cmdInquiry)= "), number(2, 4), literal(",dwBytesWritten = "),
                          number(2, 4), literal(", bResult = "), number(2, 1)});
  save("swp_dump", {literal("[STI][sent SWP command]["), number(5, 23), literal("] => "), number(5, 0x40)});
  save("read_dump",
       {literal("[STI]  || Data Size(this size of buffer will be ready) => \t\t\t\t\t\t\t\t"), number(2, 0xFFFFFFF0u),
        literal(" "), number(7, 0x80210001u), number(3, 255), number(8, 7), number(9, 'A')});
  save("long_argument", {literal("[STI]Vendor ID : "), text(std::string(300, 'V'))});
  save("debug_off", {literal("[STI]CSTIIOHandler::Initialize")}, true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory of the corpora>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  ScannerSeeds(root / "fuzz_scanner");
  RegistrySeeds(root / "fuzz_registry");
  DebugPrintSeeds(root / "fuzz_debugprint");
  return g_failed ? 1 : 0;
}
