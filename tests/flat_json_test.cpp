// The quick reading of flat control messages against the general parser: for
// every input it either declines or gives exactly what json::parse gives.
#include "session/FlatJson.h"
#include "session/Messages.h"

#include <gtest/gtest.h>

#include <random>

using nlohmann::json;

namespace {

// Same answer as the general parser, or none at all.
void agrees(const std::string& text) {
  auto quick = parseFlatObject(text);
  if (!quick) return;
  json general = json::parse(text, nullptr, false);
  ASSERT_FALSE(general.is_discarded()) << text;
  EXPECT_EQ(*quick, general) << text;
  EXPECT_EQ(quick->dump(), general.dump()) << text;
  // Same types too: 5 is unsigned and -5 signed in both.
  for (auto& [k, v] : general.items()) EXPECT_EQ((*quick)[k].type(), v.type()) << text << " " << k;
}

TEST(FlatJson, ReadsTheCommonShapesAsTheGeneralParserDoes) {
  for (const char* text :
       {R"({"t":"fput","id":"a1","i":0,"n":3,"d":"QUJD","name":"x.bin"})", R"({})", R"( { "t" : "ping" , "c" : -12 } )",
        R"({"t":"mv","x":0,"y":18446744073709551615})", R"({"t":"k","a":true,"b":false,"c":null})",
        R"({"t":"a","t":"b"})", R"({"t":"x","n":-0})", R"({"t":"x","n":-9223372036854775808})"}) {
    ASSERT_TRUE(parseFlatObject(text)) << text;
    agrees(text);
  }
  auto m = parseFlatObject(R"({"t":"a","t":"b","i":7,"d":"QUJD"})");
  ASSERT_TRUE(m);
  EXPECT_EQ((*m)["t"], "b");
  EXPECT_TRUE((*m)["i"].is_number_unsigned());
  EXPECT_TRUE(parseControl(R"({"t":"fput","d":"QUJD"})"));
}

TEST(FlatJson, DeclinesWhatItDoesNotReadAndTheGeneralParserDecides) {
  for (const char* text :
       {R"({"t":"x","s":"a\"b"})", R"({"t":"x","s":"é"})", R"({"t":"x","f":1.5})", R"({"t":"x","f":1e3})",
        R"({"t":"x","o":{}})", R"({"t":"x","a":[1]})", R"({"t":"x","n":01})", R"({"t":"x","n":-})",
        R"({"t":"x","n":18446744073709551616})", R"({"t":"x","n":-9223372036854775809})", R"({"t":"x",})",
        R"({"t":"x"} x)", R"({"t":"x")", R"({"t":trueish})", R"({"t":"x"}})", "{\"t\":\"a\tb\"}", R"([1])", "",
        R"({"t":"x","s":"abc)", "{\"t\":\"x\",\"s\":\"\x7f\"}"}) {
    EXPECT_FALSE(parseFlatObject(text)) << text;
  }
  // Declined input still reads the general way where it is valid...
  EXPECT_EQ((*parseControl(R"({"t":"x","f":1.5,"o":{"a":[1]}})"))["o"]["a"][0], 1);
  // ...and is refused where it is not.
  EXPECT_FALSE(parseControl(R"({"t":"x","n":01})"));
  EXPECT_FALSE(parseControl(R"({"t":7})"));
}

TEST(FlatJson, RandomMessagesAndTheirMutationsNeverDisagree) {
  std::mt19937 g(12345);
  const std::string alphabet = "{}[]\":,\\ -+.eE0123456789tfnrulsabcdxyz\t\n";
  auto pick = [&](const std::vector<std::string>& v) { return v[g() % v.size()]; };
  for (int round = 0; round < 20000; ++round) {
    std::string text = "{";
    const int fields = static_cast<int>(g() % 5);
    for (int f = 0; f < fields; ++f) {
      if (f) text += pick({",", " , ", ",\n"});
      text += "\"" + pick({"t", "id", "i", "n", "d", "x"}) + "\":";
      text += pick({"\"fput\"", "\"QUJD\"", "0", "-1", "42", "true", "false", "null", "1.5", "\"\"", "9007199254740993",
                    "-9223372036854775808", "18446744073709551615", "[]", "{\"a\":1}", "\"a\\\"b\""});
    }
    text += "}";
    agrees(text);
    // A few random changes, to reach the edges of what either accepts.
    for (int k = 0; k < 3; ++k) {
      std::string bent = text;
      const size_t at = g() % (bent.size() + 1);
      switch (g() % 3) {
        case 0: bent.insert(at, 1, alphabet[g() % alphabet.size()]); break;
        case 1: if (at < bent.size()) bent.erase(at, 1); break;
        default: if (at < bent.size()) bent[at] = alphabet[g() % alphabet.size()];
      }
      agrees(bent);
    }
  }
}

}  // namespace
