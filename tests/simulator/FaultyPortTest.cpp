// The faulty port between host and scanner: which call each fault hits, what the host sees, and what
// reaches the scanner.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <vector>

#include "HostSide.h"
#include "simulator/FaultyPort.h"
#include "simulator/ScannerSimulator.h"

namespace {

using scansim::Fault;
using scansim::FaultyPort;
using scansim::Phase;
using scansim::ScannerSimulator;
using simtest::Bytes;
using simtest::Command;
using simtest::Exchange;

struct Outcome {
  bool write_ok = false;
  uint32_t written = 0;
  uint32_t write_error = 0;  // LastError() after the write
  bool read_ok = false;
  uint32_t read = 0;
  uint32_t read_error = 0;
  Bytes head;  // the first bytes the host got, at most eight
  size_t commands_seen = 0;
  size_t pending_after = 0;  // bytes still waiting at the scanner
  bool reserved = false;
  uint32_t applied = 0;

  bool operator==(const Outcome& o) const {
    return write_ok == o.write_ok && written == o.written && write_error == o.write_error && read_ok == o.read_ok &&
           read == o.read && read_error == o.read_error && head == o.head && commands_seen == o.commands_seen &&
           pending_after == o.pending_after && reserved == o.reserved && applied == o.applied;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "write " << o.write_ok << "/" << o.written << "/" << o.write_error << ", read " << o.read_ok << "/" << o.read
      << "/" << o.read_error << ", head";
  for (uint8_t b : o.head) {
    out << " " << std::hex << int{b} << std::dec;
  }
  return out << ", seen " << o.commands_seen << ", pending " << o.pending_after << ", reserved " << o.reserved
             << ", applied " << o.applied;
}

// One reserve exchange (call 1 the write, call 2 the read) through a faulty port.
TEST(FaultyPortTest, EachFaultOnTheReserveExchange) {
  const Bytes good = {0xA8, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes check = {0xA8, 0x02, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00};
  struct Case {
    const char* name;
    std::function<void(FaultyPort&)> arm;
    Outcome expected;
  };
  const Case cases[] = {
      {"no fault", [](FaultyPort&) {}, {true, 4, 0, true, 32, 0, good, 1, 0, true, 0}},
      {"write fails after moving all",
       [](FaultyPort& p) { p.AtCall(1, Fault::FailFullCount()); },
       {false, 4, 31, true, 32, 0, good, 1, 0, true, 1}},
      {"write fails moving nothing",
       [](FaultyPort& p) { p.AtCall(1, Fault::FailZeroCount(1167)); },
       {false, 0, 1167, false, 0, 121, {}, 0, 0, false, 1}},
      {"write cut to two bytes",
       [](FaultyPort& p) { p.AtCall(1, Fault::ShortCount(2)); },
       {true, 2, 0, true, 32, 0, check, 1, 0, false, 1}},
      {"write cut to nothing",
       [](FaultyPort& p) { p.AtCall(1, Fault::ShortCount(0)); },
       {true, 0, 0, false, 0, 121, {}, 0, 0, false, 1}},
      {"read fails after moving all",
       [](FaultyPort& p) { p.AtCall(2, Fault::FailFullCount()); },
       {true, 4, 0, false, 32, 31, good, 1, 0, true, 1}},
      {"read fails moving nothing: the answer stays at the scanner",
       [](FaultyPort& p) { p.AtCall(2, Fault::FailZeroCount()); },
       {true, 4, 0, false, 0, 31, {}, 1, 32, true, 1}},
      {"read cut to five bytes",
       [](FaultyPort& p) { p.AtCall(2, Fault::ShortCount(5)); },
       {true, 4, 0, true, 5, 0, {0xA8, 0x00, 0x18, 0x00, 0x00}, 1, 0, true, 1}},
      {"start code corrupted",
       [](FaultyPort& p) { p.AtCall(2, Fault::CorruptStartCode(0x5A)); },
       {true, 4, 0, true, 32, 0, {0x5A, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00}, 1, 0, true, 1}},
      {"answer replaced by resource busy",
       [](FaultyPort& p) { p.AtCall(2, Fault::ReplaceStatus(0x02, 0x0004)); },
       {true, 4, 0, true, 32, 0, {0xA8, 0x02, 0x18, 0x00, 0x04, 0x00, 0x00, 0x00}, 1, 0, true, 1}},
      {"answer replaced by busy",
       [](FaultyPort& p) { p.AtCall(2, Fault::ReplaceStatus(0x08)); },
       {true, 4, 0, true, 32, 0, {0xA8, 0x08, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00}, 1, 0, true, 1}},
      {"a read fault aimed at a write does nothing",
       [](FaultyPort& p) { p.AtCall(1, Fault::CorruptStartCode()); },
       {true, 4, 0, true, 32, 0, good, 1, 0, true, 0}},
      {"exchange 1, write",
       [](FaultyPort& p) { p.AtExchange(1, Phase::kWrite, Fault::FailZeroCount()); },
       {false, 0, 31, false, 0, 121, {}, 0, 0, false, 1}},
      {"exchange 1, read",
       [](FaultyPort& p) { p.AtExchange(1, Phase::kRead, Fault::ShortCount(5)); },
       {true, 4, 0, true, 5, 0, {0xA8, 0x00, 0x18, 0x00, 0x00}, 1, 0, true, 1}},
      {"a call fault wins over an exchange fault on the same call",
       [](FaultyPort& p) {
         p.AtExchange(1, Phase::kRead, Fault::ShortCount(3));
         p.AtCall(2, Fault::CorruptStartCode(0x11));
       },
       {true, 4, 0, true, 32, 0, {0x11, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00}, 1, 0, true, 1}},
      {"exchange 2 is not reached",
       [](FaultyPort& p) { p.AtExchange(2, Phase::kRead, Fault::FailZeroCount()); },
       {true, 4, 0, true, 32, 0, good, 1, 0, true, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScannerSimulator sim;
    FaultyPort port(sim);
    c.arm(port);
    Outcome o;
    const Bytes reserve = Command(0x16);
    o.write_ok = port.Write(reserve.data(), 4, &o.written);
    o.write_error = port.LastError();
    Bytes buffer(32, 0xCC);
    o.read_ok = port.Read(buffer.data(), 32, &o.read);
    o.read_error = port.LastError();
    o.head.assign(buffer.begin(), buffer.begin() + std::min<uint32_t>(o.read, 8));
    o.commands_seen = sim.CommandOpcodes().size();
    o.pending_after = sim.PendingResponseSize();
    o.reserved = sim.UnitReserved();
    o.applied = port.FaultsApplied();
    EXPECT_EQ(o, c.expected);
    EXPECT_EQ(port.Calls(), 2u);
    EXPECT_EQ(port.Exchanges(), 1u);
    // A read cut short leaves nothing of the answer behind and shows the host nothing past its count.
    if (o.read < 32) {
      EXPECT_EQ(std::count(buffer.begin() + o.read, buffer.end(), 0xCC), 32 - o.read);
    }
  }
}

// An exchange is counted by its write: when the host gives up after a failed write and reads
// nothing, the next write still opens the next exchange, and only its first read is its read.
TEST(FaultyPortTest, ExchangesFollowTheWrites) {
  ScannerSimulator sim;
  FaultyPort port(sim);
  port.AtExchange(1, Phase::kWrite, Fault::FailZeroCount());
  port.AtExchange(2, Phase::kRead, Fault::CorruptStartCode(0x00));
  port.AtCall(5, Fault::FailZeroCount());

  const Bytes reserve = Command(0x16);
  uint32_t count = 0;
  EXPECT_FALSE(port.Write(reserve.data(), 4, &count));         // exchange 1, call 1; no read follows
  const simtest::Answer second = Exchange(port, reserve, 32);  // exchange 2: calls 2 and 3
  EXPECT_EQ(second.bytes.at(0), 0x00);
  EXPECT_TRUE(port.Write(reserve.data(), 4, &count));  // exchange 3, call 4
  Bytes buffer(32);
  EXPECT_FALSE(port.Read(buffer.data(), 32, &count));  // call 5 fails; the answer waits at the scanner
  port.AtExchange(3, Phase::kRead, Fault::CorruptStartCode(0x00));
  EXPECT_TRUE(port.Read(buffer.data(), 32, &count));  // call 6: a second read is not the exchange's read
  EXPECT_EQ(buffer[0], 0xA8);
  EXPECT_EQ(port.FaultsApplied(), 3u);
  EXPECT_EQ(port.Calls(), 6u);
  EXPECT_EQ(port.Exchanges(), 3u);

  // Forgotten faults do not fire.
  port.AtCall(7, Fault::FailZeroCount());
  port.AtExchange(4, Phase::kRead, Fault::FailZeroCount());
  port.ClearFaults();
  const simtest::Answer fourth = Exchange(port, reserve, 32);
  EXPECT_TRUE(fourth.write_ok);
  EXPECT_TRUE(fourth.read_ok);
  EXPECT_EQ(port.FaultsApplied(), 3u);
}

// The read answer keeps its conditions in the scanner-state word at 12; an injected condition goes
// there and leaves the announced size alone.
TEST(FaultyPortTest, ReplacedReadAnswerCarriesTheConditionInTheStateWord) {
  scansim::Config config;
  config.feeder_sheets = 1;
  ScannerSimulator sim(config);
  FaultyPort port(sim);
  Exchange(port, simtest::WindowCommand(64 * 16, 10 * 16, 0, 1, 8, 0x10), 32);
  Exchange(port, Command(0x31), 32);
  port.AtExchange(3, Phase::kRead, Fault::ReplaceStatus(0x02, 0x2000));
  const simtest::Answer read = Exchange(port, Command(0x28), 32);
  ASSERT_EQ(read.bytes.size(), 32u);
  EXPECT_EQ(read.bytes[1], 0x02);
  EXPECT_EQ(simtest::Be32(read.bytes, 4), 10u * 64 + 16);
  EXPECT_EQ(simtest::Le16(read.bytes, 12), 0x2000);
}

}  // namespace
