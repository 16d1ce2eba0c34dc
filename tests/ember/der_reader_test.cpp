#include "ember/der_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using ember::DerElement;
using ember::ParseFail;

Bytes bytes(std::initializer_list<int> v) {
  Bytes out;
  for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes tlv(int tag, const std::string& content) {
  Bytes out;
  out.reserve(content.size() + 2);
  out.push_back(static_cast<std::uint8_t>(tag));
  out.push_back(static_cast<std::uint8_t>(content.size()));
  for (char c : content) out.push_back(static_cast<std::uint8_t>(c));
  return out;
}

// The reason der_read (and, when `full`, the named conversion) fails with, or "" when it passes.
template <typename F>
std::string reason(F f) {
  try {
    f();
    return "";
  } catch (const ParseFail& e) {
    return e.what();
  }
}

TEST(DerRead, HeaderErrors) {
  struct Case {
    Bytes in;
    const char* why;
  } cases[] = {
      {{}, "eof"},
      {bytes({0x1F}), "bad tag"},                                // high tag form, nothing follows
      {bytes({0x1F, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01}), "bad tag"},  // a sixth tag byte
      {bytes({0x30}), "eof len"},
      {bytes({0x04, 0x80, 0x00, 0x00}), "indefinite primitive"},
      {bytes({0x30, 0x80, 0x05}), "unterminated indefinite"},
      {bytes({0x30, 0x80, 0x05, 0x00}), "unterminated indefinite"},
      {bytes({0x04, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "bad len"},  // nine length bytes
      {bytes({0x04, 0x82, 0x01}), "bad len"},
      {bytes({0x04, 0x03, 0x01, 0x02}), "len beyond data"},
      {bytes({0x04, 0x81, 0x02, 0x01, 0x02}), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(reason([&] { ember::der_read(c.in); }), c.why) << testing::PrintToString(c.in);
}

TEST(DerRead, ElementFields) {
  // [APPLICATION 200] constructed, high tag form, holding an indefinite SEQUENCE of one NULL.
  const Bytes in = bytes({0x7F, 0x81, 0x48, 0x06, 0x30, 0x80, 0x05, 0x00, 0x00, 0x00, 0xAA});
  const DerElement e = ember::der_read(in);
  EXPECT_EQ(e.tag_class, 1);
  EXPECT_TRUE(e.constructed);
  EXPECT_EQ(e.tag, 200u);
  EXPECT_EQ(e.total_length, 10u);
  EXPECT_FALSE(e.indefinite);
  const auto kids = ember::der_children(e);
  ASSERT_EQ(kids.size(), 1u);
  EXPECT_TRUE(kids[0].indefinite);
  EXPECT_TRUE(kids[0].universal(ember::kTagSequence));
  EXPECT_EQ(kids[0].content_length, 2u);  // the NULL; the end-of-contents mark is not content
  EXPECT_EQ(kids[0].total_length, 6u);
  EXPECT_EQ(ember::der_children(kids[0]).size(), 1u);
  EXPECT_EQ(reason([&] { ember::der_children(ember::der_read(tlv(0x04, "ab"))); }), "not constructed");
  // Indefinite nesting is followed only to a fixed depth.
  Bytes deep;
  for (int i = 0; i < 200; ++i) deep.insert(deep.end(), {0x30, 0x80});
  for (int i = 0; i < 200; ++i) deep.insert(deep.end(), {0x00, 0x00});
  EXPECT_EQ(reason([&] { ember::der_read(deep); }), "too deep");
}

TEST(DerRead, ObjectIdentifiers) {
  struct Case {
    Bytes in;
    const char* oid;
  } cases[] = {
      {bytes({0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}), "1.2.840.113549.1.7.2"},
      {bytes({0x06, 0x03, 0x55, 0x04, 0x03}), "2.5.4.3"},
      {bytes({0x06, 0x01, 0x27}), "0.39"},
      {bytes({0x06, 0x01, 0x4F}), "1.39"},
      {bytes({0x06, 0x02, 0x88, 0x37}), "2.999"},
      {bytes({0x06, 0x03, 0x55, 0x04, 0x83}), "2.5.4"},  // an unfinished last sub-identifier is dropped
  };
  for (const Case& c : cases) EXPECT_EQ(ember::der_oid(ember::der_read(c.in)), c.oid);
  EXPECT_EQ(reason([] { ember::der_oid(ember::der_read(bytes({0x06, 0x00}))); }), "expected OID");
  EXPECT_EQ(reason([] { ember::der_oid(ember::der_read(bytes({0x04, 0x01, 0x2A}))); }), "expected OID");
}

TEST(DerRead, OctetStrings) {
  const Bytes constructed = bytes({0x24, 0x80, 0x04, 0x02, 'a', 'b', 0x24, 0x03, 0x04, 0x01, 'c', 0x00, 0x00});
  EXPECT_EQ(ember::der_octets(ember::der_read(constructed)), bytes({'a', 'b', 'c'}));
  EXPECT_EQ(reason([] { ember::der_octets(ember::der_read(bytes({0x24, 0x03, 0x05, 0x01, 0x00}))); }),
            "bad constructed octet string");
}

double when(int tag, const std::string& text) { return ember::der_time(ember::der_read(tlv(tag, text))); }
std::string time_error(int tag, const std::string& text) { return reason([&] { when(tag, text); }); }

TEST(DerTime, UtcAndGeneralizedTimes) {
  EXPECT_EQ(when(23, "490101000000Z"), 2493072000.0);  // 2049
  EXPECT_EQ(when(23, "500101000000Z"), -631152000.0);  // 1950
  EXPECT_EQ(when(23, "7001010000Z"), 0.0);             // no seconds
  EXPECT_EQ(when(23, "700101000000+0130"), -5400.0);
  EXPECT_EQ(when(23, "700101000000-0001"), 60.0);
  EXPECT_EQ(when(24, "20240229120000.5Z"), 1709208000.5);
  EXPECT_EQ(when(24, "2024022912Z"), 1709208000.0);
  EXPECT_EQ(when(24, "2024022912,25"), 1709208000.0 + 900.0);  // fraction of the hour
  EXPECT_EQ(when(24, "202402291201.5"), 1709208000.0 + 90.0);   // fraction of the minute
  EXPECT_EQ(when(24, "20240229120000+01"), 1709208000.0 - 3600.0);
  EXPECT_DOUBLE_EQ(when(24, "20240229120000.1234567Z"), 1709208000.123456);
  EXPECT_NEAR(when(24, "00010101000000Z"), -62135596800.0, 0.5);

  struct Case {
    int tag;
    const char* text;
    const char* why;
  } cases[] = {
      {23, "700101000060Z", "bad time value"},
      {24, "20230229120000.5Z", "bad time value"},
      {24, "00000101000000Z", "bad time value"},
      {23, "701301000000Z", "bad time value"},
      {23, "700101240000Z", "bad time value"},
      {23, "7001010000", "utctime zone"},
      {23, "7001010000X", "utctime zone"},
      {23, "70010100", "utctime"},
      {23, "70010100005Z", "utctime"},
      {23, "7001010000+01", "utctime offset"},
      {23, "7001010000ZZ", "trailing time data"},
      {24, "2024022912.Z", "gentime fraction"},
      {24, "202402291", "gentime"},
      {24, "2024022912+1", "gentime offset"},
      {24, "2024022912+0A00", "gentime offset"},
      {24, "2024022912+010", "gentime offset"},
      {24, "2024022912+01Z", "trailing time data"},
      {4, "700101000000Z", "not a time"},
  };
  for (const Case& c : cases) EXPECT_EQ(time_error(c.tag, c.text), c.why) << c.text;
  EXPECT_EQ(reason([] { ember::der_time(ember::der_read(bytes({0x97, 0x01, '0'}))); }), "not a time");
}

TEST(DerStrings, ChecksAndConversions) {
  struct Case {
    Bytes in;
    const char* why;
    const char* utf8;
  } cases[] = {
      {tlv(12, "gr\xC3\xBC\xC3\x9F"), "", "gr\xC3\xBC\xC3\x9F"},
      {tlv(12, "\xC0\x80"), "utf8 decode", nullptr},
      {tlv(12, "\xED\xA0\x80"), "utf8 decode", nullptr},
      {tlv(19, "Plain"), "", "Plain"},
      {tlv(19, "\xE9"), "ascii decode", nullptr},
      {tlv(22, "a\x80"), "ascii decode", nullptr},
      {tlv(30, std::string("\0A\0\xE9", 4)), "", "A\xC3\xA9"},
      {tlv(30, std::string("\xD8\x3D\xDE\x00", 4)), "", "\xF0\x9F\x98\x80"},
      {tlv(30, std::string("\0A\0", 3)), "utf-16 decode", nullptr},
      {tlv(30, std::string("\xDE\x00\0A", 4)), "utf-16 surrogate", nullptr},
      {tlv(30, std::string("\xD8\x3D\0A", 4)), "utf-16 surrogate", nullptr},
      {tlv(28, std::string("\0\0\0A\0\x01\xF6\x00", 8)), "", "A\xF0\x9F\x98\x80"},
      {tlv(28, std::string("\0\0\xD8\0", 4)), "utf-32 decode", nullptr},
      {tlv(28, std::string("\0\0A", 3)), "utf-32 decode", nullptr},
      {tlv(23, "bad"), "utctime", nullptr},
      {tlv(20, "\xFF\xFE"), "", "\xFF\xFE"},  // T61String passes unchecked, byte for byte
  };
  for (const Case& c : cases) {
    const DerElement e = ember::der_read(c.in);
    EXPECT_EQ(reason([&] { ember::check_string(e); }), c.why) << testing::PrintToString(c.in);
    if (c.utf8) {
      EXPECT_EQ(ember::der_string(e), c.utf8);
    }
  }
}

TEST(DerStrings, TreeChecks) {
  // SEQUENCE { [2] "h\xE9" } is a bad DNS name only where GeneralNames are expected.
  const Bytes seq = bytes({0x30, 0x04, 0x82, 0x02, 'h', 0xE9});
  EXPECT_EQ(reason([&] { ember::check_tree(ember::der_read(seq), 0, false); }), "");
  EXPECT_EQ(reason([&] { ember::check_tree(ember::der_read(seq), 0, true); }), "ascii decode (GeneralName)");
  const Bytes bad_child = bytes({0x30, 0x03, 0x13, 0x01, 0xE9});
  EXPECT_EQ(reason([&] { ember::check_tree(ember::der_read(bad_child), 0, false); }), "ascii decode");
  EXPECT_EQ(reason([&] { ember::check_tree(ember::der_read(bad_child), 65, false); }), "too deep");
}

}  // namespace
