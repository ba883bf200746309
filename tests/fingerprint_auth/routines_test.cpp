// Pure routines of FingerprintAuthDxe, compiled natively.
#include "fingerprint_auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Crc16Xmodem, KnownValues) {
  struct Case {
    std::string Data;
    uint16_t Expected;
  };
  // 0x31C3 is the published check value of CRC-16/XMODEM over "123456789".
  for (const Case &C : {Case{"", 0x0000}, Case{"123456789", 0x31C3}, Case{"A", 0x58E5},
                        Case{std::string(20, '\0'), 0x0000}}) {
    uint16_t Crc = 0xFFFF;
    Crc16Xmodem(reinterpret_cast<const uint8_t *>(C.Data.data()), (uint32_t)C.Data.size(), &Crc);
    EXPECT_EQ(Crc, C.Expected) << "\"" << C.Data << "\"";
  }
}

TEST(Crc16Xmodem, SerialNumbersThatDifferInOneByteDiffer) {
  std::vector<uint8_t> A(20, ' '), B(20, ' ');
  B[19] = '1';
  uint16_t CrcA = 0, CrcB = 0;
  Crc16Xmodem(A.data(), 20, &CrcA);
  Crc16Xmodem(B.data(), 20, &CrcB);
  EXPECT_NE(CrcA, CrcB);
}

TEST(FormatDriveNumber, DecimalTextOfUpToTwoDigits) {
  struct Case {
    uint8_t Value;
    std::u16string Expected;
  };
  for (const Case &C : {Case{0, u"0"}, Case{5, u"5"}, Case{9, u"9"}, Case{10, u"10"},
                        Case{42, u"42"}, Case{99, u"99"}, Case{100, u"0"}, Case{255, u"0"}}) {
    CHAR16 Buffer[3] = {0, 0, 0};
    FormatDriveNumber(Buffer, C.Value);
    EXPECT_EQ(std::u16string(Buffer), C.Expected) << int(C.Value);
    EXPECT_EQ(Buffer[2], 0);
  }
}

} // namespace
